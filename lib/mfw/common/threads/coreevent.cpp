#include "lib/mfw/common/threads/coreevent.h"

#include "lib/mfw/common/util/coreException.h"

#include <sddl.h>

namespace CORE {

std::shared_ptr<coreevent> coreevent::CreateNamed(const wchar_t* name, bool manualReset) {
    HANDLE handle = ::CreateEventW(DefaultNamedObjectSecurity(), manualReset ? TRUE : FALSE, FALSE, name);
    if (!handle) throw coreException("Failed to create event", ::GetLastError());
    return std::shared_ptr<coreevent>(new coreevent(handle));
}

std::shared_ptr<coreevent> coreevent::CreateUnnamed(bool manualReset) {
    HANDLE handle = ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
    if (!handle) throw coreException("Failed to create event", ::GetLastError());
    return std::shared_ptr<coreevent>(new coreevent(handle));
}

SECURITY_ATTRIBUTES* DefaultNamedObjectSecurity() noexcept {
    struct Holder {
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
        bool valid = false;
        Holder() {
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1,
                                                                       &descriptor, nullptr)) {
                attributes.lpSecurityDescriptor = descriptor;  // kept for the life of the process
                valid = true;
            }
        }
    };
    static Holder holder;
    return holder.valid ? &holder.attributes : nullptr;
}

}  // namespace CORE
