#include "lib/mfw/common/util/coreException.h"

#include <cstring>
#include <new>

namespace CORE {

HRESULT ResultFromCaughtException() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const coreException& e) {
        if (std::strcmp(e.what(), "OutOfMem") == 0) return E_OUTOFMEMORY;
        if (e.code() != 0) return HRESULT_FROM_WIN32(e.code());
        return E_FAIL;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

}  // namespace CORE
