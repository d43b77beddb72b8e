// The whole filter entry of the built module: tcfiltr.dll (beside the driver) loaded with
// LoadLibrary, the filter made through DllGetClassObject, and UpdateRemoteCredential given a
// serialization whose bytes are the input before the guard page. No agent runs: every ticket
// lookup finds no node manager and fails at once (the ticket is judged unmatched; direct RDP is
// allowed, as by default, so nothing is refused and no message box is shown).
// Rules: S_OK hands out nothing or a faithful copy of the input in a CoTaskMemAlloc block of its
// own that holds all of it; a failure hands out nothing; no CoTaskMem block outlives the call.
#include "Target.h"

#include "base/Guids.h"
#include "platform/UniqueResource.h"
#include "platform/sdk/CredentialProviderDecl.h"
#include "tools/logonsim/LogonUiSession.h"

#include <objbase.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

namespace fuzz {
namespace {

// Counts the CoTaskMem blocks allocated while it is registered and not freed yet.
class LiveBlocks final : public IMallocSpy {
public:
    size_t Count() {
        std::lock_guard<std::mutex> guard(lock_);
        return live_.size();
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || riid == IID_IMallocSpy ? static_cast<IMallocSpy*>(this) : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T bytes) override { return bytes; }
    STDMETHODIMP_(void*) PostAlloc(void* block) override { return Track(block, nullptr); }
    STDMETHODIMP_(void*) PreFree(void* block, BOOL) override { return Track(nullptr, block); }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* block, SIZE_T bytes, void** newRequest, BOOL) override {
        Track(nullptr, block);
        *newRequest = block;
        return bytes;
    }
    STDMETHODIMP_(void*) PostRealloc(void* block, BOOL) override { return Track(block, nullptr); }
    STDMETHODIMP_(void*) PreGetSize(void* block, BOOL) override { return block; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T bytes, BOOL) override { return bytes; }
    STDMETHODIMP_(void*) PreDidAlloc(void* block, BOOL) override { return block; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int allocated) override { return allocated; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}

private:
    void* Track(void* allocated, void* freed) {
        std::lock_guard<std::mutex> guard(lock_);
        if (allocated) live_.insert(allocated);
        if (freed) live_.erase(freed);
        return allocated ? allocated : freed;
    }
    std::mutex lock_;
    std::set<void*> live_;
};

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

struct DllFuzz {
    platform::unique_hmodule module;
    platform::com_ptr<ICredentialProviderFilter> filter;
    LiveBlocks blocks;
    platform::com_ptr<IMalloc> malloc;

    bool Load(const std::wstring& path) {
        module.reset(::LoadLibraryW(path.c_str()));
        auto getClassObject = module ? reinterpret_cast<GetClassObjectFn>(
                                           reinterpret_cast<void*>(::GetProcAddress(module.get(), "DllGetClassObject")))
                                     : nullptr;
        platform::com_ptr<IClassFactory> factory;
        return getClassObject && SUCCEEDED(getClassObject(CLSID_credfilter, IID_IClassFactory, factory.put_void())) &&
               SUCCEEDED(factory->CreateInstance(nullptr, IID_ICredentialProviderFilter, filter.put_void())) &&
               SUCCEEDED(::CoGetMalloc(1, malloc.put())) && ::CoRegisterMallocSpy(&blocks) == S_OK;
    }

    // Private bytes after the first kWarmUp inputs (allocators and caches settled) and at the end.
    static constexpr size_t kWarmUp = 1000, kGrowthLimit = 64 << 20;
    size_t runs = 0, baseline = 0;
    static size_t PrivateBytes() {
        PROCESS_MEMORY_COUNTERS_EX counters{};
        counters.cb = sizeof(counters);
        return ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                      sizeof(counters)) ? counters.PrivateUsage : 0;
    }
    std::string Finish() {
        filter.reset();
        ::CoRevokeMallocSpy();
        const size_t now = PrivateBytes();
        if (runs <= kWarmUp || now <= baseline + kGrowthLimit) return "";
        return "private memory grew by " + std::to_string((now - baseline) >> 20) + " MB over " +
               std::to_string(runs - kWarmUp) + " inputs";
    }

    Verdict Run(const Input& in) {
        if (++runs == kWarmUp) baseline = PrivateBytes();
        CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION credential{}, out{};
        credential.clsidCredentialProvider = CLSID_credprovider;
        credential.cbSerialization = static_cast<ULONG>(in.size);
        credential.rgbSerialization = const_cast<BYTE*>(in.data);
        const size_t before = blocks.Count();
        const HRESULT hr = filter->UpdateRemoteCredential(&credential, &out);
        bool ok = true;
        if (out.rgbSerialization) {
            ok = SUCCEEDED(hr) && out.rgbSerialization != in.data && out.cbSerialization == in.size &&
                 malloc->GetSize(out.rgbSerialization) >= out.cbSerialization &&
                 std::memcmp(out.rgbSerialization, in.data, in.size) == 0 &&
                 out.ulAuthenticationPackage == credential.ulAuthenticationPackage &&
                 out.clsidCredentialProvider == credential.clsidCredentialProvider;
            ::SecureZeroMemory(out.rgbSerialization, out.cbSerialization);
            ::CoTaskMemFree(out.rgbSerialization);
        } else {
            ok = out.cbSerialization == 0;
        }
        ok = ok && (hr == S_OK || hr == E_NOTIMPL) && blocks.Count() == before;
        if (!ok) return Verdict::WronglyAccepted;
        return hr == S_OK ? Verdict::Accepted : Verdict::Refused;
    }
};

std::wstring BesideThisProgram(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir = path;
    return dir.substr(0, dir.find_last_of(L"\\/") + 1) + name;
}

}  // namespace

std::unique_ptr<Target> DllTarget(PrivateMachine& machine) {
    // The reconnect monitor DllGetClassObject starts watches the session, which no input touches.
    machine.SetString(L"Software\\Velmora\\Zephral\\Agent\\Configuration", L"DisableRdsReconnectMonitor", L"true");
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return nullptr;
    auto state = std::make_shared<DllFuzz>();
    if (!state->Load(BesideThisProgram(L"tcfiltr.dll"))) return std::fprintf(stderr, "dll: cannot load the filter\n"), nullptr;
    auto target = std::make_unique<Target>();
    target->name = "dll";
    // A brokered credential (its ticket is looked up), one without a ticket, and one whose user
    // is a UPN with an empty domain.
    for (const logonsim::RemoteCredential& remote : {logonsim::RemoteCredential{true, L"CORP", L"alice", L"a-broker-ticket"},
                                                     logonsim::RemoteCredential{true, L"CORP", L"bob", L""},
                                                     logonsim::RemoteCredential{true, L"", L"alice@corp.example", L"T-1"}})
        target->seeds.push_back({logonsim::PackRemoteCredential(remote)});
    target->finish = [state] { return state->Finish(); };
    target->run = [state](const Input& in) { return state->Run(in); };
    return target;
}

}  // namespace fuzz
