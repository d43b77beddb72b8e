// Message framework benchmarks, between two processes under the same conditions:
//  - a typical "GetCredentialsForTicket" round trip (about 20 string items in the answer) on
//    an open channel to agentsim, against a bare shared-memory-and-events ping-pong and a
//    named-pipe ping-pong of the same byte counts, measured in the same run;
//  - the whole ConnectChannel + SendMsg + CloseChannel sequence.
// One JSON line per figure. Run through scripts/bench.sh (or the bench_* CTest-free targets).
#include "BenchSupport.h"

#include "lib/mfw/common/MessageFrameWork.h"
#include "lib/mfw/common/corerunnable.h"
#include "platform/UniqueResource.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kWarmup = 200;
constexpr int kRounds = 2000;
constexpr int kConnectRounds = 200;

std::wstring SelfPath() {
    wchar_t path[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring Dir() {
    std::wstring self = SelfPath();
    return self.substr(0, self.find_last_of(L"\\/") + 1);
}

platform::unique_handle Spawn(const std::wstring& command) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring line = command;
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return platform::unique_handle();
    ::CloseHandle(info.hThread);
    return platform::unique_handle(info.hProcess);
}

// --- Baseline partners (this program started again with --child-*) ---

struct ShmBlock {
    volatile LONG stop;
    BYTE data[1];
};

int ShmChild(const std::wstring& name, size_t responseBytes) {
    platform::unique_handle section(::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, (name + L".Map").c_str()));
    platform::unique_handle request(::OpenEventW(SYNCHRONIZE, FALSE, (name + L".Req").c_str()));
    platform::unique_handle response(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (name + L".Resp").c_str()));
    if (!section || !request || !response) return 1;
    auto* block = static_cast<ShmBlock*>(::MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    std::vector<BYTE> local(1 << 20);
    while (::WaitForSingleObject(request.get(), 10000) == WAIT_OBJECT_0 && !block->stop) {
        std::memcpy(local.data(), block->data, responseBytes);  // read the request
        std::memcpy(block->data, local.data(), responseBytes);  // write the answer
        ::SetEvent(response.get());
    }
    return 0;
}

int PipeChild(const std::wstring& name, size_t requestBytes, size_t responseBytes) {
    platform::unique_hfile pipe(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1 << 16,
                                                   1 << 16, 0, nullptr));
    if (!pipe) return 1;
    platform::unique_handle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, (L"Local\\" + name.substr(9) + L".Ready").c_str()));
    if (ready) ::SetEvent(ready.get());
    if (!::ConnectNamedPipe(pipe.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) return 1;
    std::vector<BYTE> buffer(requestBytes > responseBytes ? requestBytes : responseBytes);
    for (;;) {
        size_t got = 0;
        while (got < requestBytes) {
            DWORD n = 0;
            if (!::ReadFile(pipe.get(), buffer.data() + got, static_cast<DWORD>(requestBytes - got), &n, nullptr) || n == 0)
                return 0;
            got += n;
        }
        DWORD written = 0;
        if (!::WriteFile(pipe.get(), buffer.data(), static_cast<DWORD>(responseBytes), &written, nullptr)) return 0;
    }
}

std::vector<double> ShmBaseline(size_t requestBytes, size_t responseBytes) {
    const std::wstring name = L"Local\\TcBenchShm." + std::to_wstring(::GetCurrentProcessId());
    platform::unique_handle section(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1 << 20,
                                                         (name + L".Map").c_str()));
    platform::unique_handle request(::CreateEventW(nullptr, FALSE, FALSE, (name + L".Req").c_str()));
    platform::unique_handle response(::CreateEventW(nullptr, FALSE, FALSE, (name + L".Resp").c_str()));
    auto* block = static_cast<ShmBlock*>(::MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    platform::unique_handle child = Spawn(L"\"" + SelfPath() + L"\" --child-shm " + name + L" " + std::to_wstring(responseBytes));
    std::vector<BYTE> local(requestBytes, 0x41), answer(responseBytes);
    std::vector<double> samples;
    for (int i = 0; i < kWarmup + kRounds; ++i) {
        double start = bench::NowMicros();
        std::memcpy(block->data, local.data(), requestBytes);
        ::SetEvent(request.get());
        if (::WaitForSingleObject(response.get(), 10000) != WAIT_OBJECT_0) break;
        std::memcpy(answer.data(), block->data, responseBytes);
        if (i >= kWarmup) samples.push_back(bench::NowMicros() - start);
    }
    block->stop = 1;
    ::SetEvent(request.get());
    ::WaitForSingleObject(child.get(), 10000);
    ::UnmapViewOfFile(block);
    return samples;
}

std::vector<double> PipeBaseline(size_t requestBytes, size_t responseBytes) {
    const std::wstring tag = L"TcBenchPipe." + std::to_wstring(::GetCurrentProcessId());
    const std::wstring name = L"\\\\.\\pipe\\" + tag;
    platform::unique_handle ready(::CreateEventW(nullptr, TRUE, FALSE, (L"Local\\" + tag + L".Ready").c_str()));
    platform::unique_handle child = Spawn(L"\"" + SelfPath() + L"\" --child-pipe " + name + L" " +
                                          std::to_wstring(requestBytes) + L" " + std::to_wstring(responseBytes));
    ::WaitForSingleObject(ready.get(), 10000);
    platform::unique_hfile pipe(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<double> samples;
    if (!pipe) return samples;
    std::vector<BYTE> request(requestBytes, 0x42), answer(responseBytes);
    for (int i = 0; i < kWarmup + kRounds; ++i) {
        double start = bench::NowMicros();
        DWORD n = 0;
        if (!::WriteFile(pipe.get(), request.data(), static_cast<DWORD>(requestBytes), &n, nullptr)) break;
        size_t got = 0;
        while (got < responseBytes) {
            if (!::ReadFile(pipe.get(), answer.data() + got, static_cast<DWORD>(responseBytes - got), &n, nullptr) || n == 0) break;
            got += n;
        }
        if (i >= kWarmup) samples.push_back(bench::NowMicros() - start);
    }
    pipe.reset();
    ::WaitForSingleObject(child.get(), 10000);
    return samples;
}

// --- The framework against agentsim ---

CORE::PropertyBag TicketRequest() {
    CORE::PropertyBag request;
    request.Set(L"sessionId", L"2");
    request.Set(L"processId", std::to_wstring(::GetCurrentProcessId()));
    request.Set(L"userName", L"alice");
    request.Set(L"domainName", L"CORP");
    request.Set(L"ticket", L"5F0B2C1E-8A44-4C3A-9D1E-7B6A5C4D3E2F");
    request.Set(L"certssoUnlock", L"false");
    request.Set(L"whfbCertssoUnlock", L"false");
    request.Set(L"entrassoUnlock", L"false");
    return request;
}

CORE::PropertyBag TicketAnswer() {
    CORE::PropertyBag answer;
    const wchar_t* names[] = {L"userName", L"domainName", L"dnsDomainName", L"BROKERUSERSID", L"password",
                              L"smartCardPIN", L"smartCardReader", L"smartCardHintUpn", L"certLogonContainerName",
                              L"certLogonPin", L"CERTIFICATESSOID", L"REPORTERRORS", L"whfbCertPin", L"whfbCertCtxId",
                              L"unauthUserName", L"unauthPassword", L"nonSSOticket", L"expired", L"sessionGuid",
                              L"LanguageHint"};
    int i = 0;
    for (const wchar_t* name : names)
        answer.Set(name, std::wstring(L"value-") + std::to_wstring(++i) + L"-0123456789abcdefghijklmnopqrstuvwxyz");
    return answer;
}

size_t WireBytes(const CORE::Message& message) {
    std::vector<BYTE> bytes;
    message.FlattenPlain(&bytes);
    return bytes.size() + 4 /* packet word */ + 4 + 24 /* protection */ + 4 /* ring record */;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 4 && std::wstring(argv[1]) == L"--child-shm") return ShmChild(argv[2], static_cast<size_t>(_wtoi(argv[3])));
    if (argc >= 5 && std::wstring(argv[1]) == L"--child-pipe")
        return PipeChild(argv[2], static_cast<size_t>(_wtoi(argv[3])), static_cast<size_t>(_wtoi(argv[4])));

    // The simulation platform (test security package) reads its answers from a key of our own.
    const std::wstring simKey = L"Software\\TcfiltrBench\\" + std::to_wstring(::GetCurrentProcessId());
    ::SetEnvironmentVariableW(L"TCFILTR_SIM_KEY", simKey.c_str());
    const std::wstring instance = L"bench" + std::to_wstring(::GetCurrentProcessId());
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, simKey.c_str(), L"NodeManagerInstance", REG_SZ, instance.c_str(),
                      static_cast<DWORD>((instance.size() + 1) * sizeof(wchar_t)));

    // agentsim with the ticket answer.
    CORE::PropertyBag entry;
    entry.SetBag(L"answer", TicketAnswer());
    CORE::PropertyBag operations;
    operations.SetBag(L"GetCredentialsForTicket", entry);
    CORE::PropertyBag scenario;
    scenario.SetBag(L"DesktopManager", operations);
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring scenarioPath = std::wstring(temp) + L"bench-scenario-" + std::to_wstring(::GetCurrentProcessId()) + L".xml";
    {
        platform::unique_hfile file(::CreateFileW(scenarioPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        const std::wstring xml = L"\xFEFF" + scenario.ToXml();
        DWORD written = 0;
        ::WriteFile(file.get(), xml.data(), static_cast<DWORD>(xml.size() * sizeof(wchar_t)), &written, nullptr);
    }
    const std::wstring readyName = L"Local\\TcBenchAgentReady." + std::to_wstring(::GetCurrentProcessId());
    platform::unique_handle ready(::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    platform::unique_handle agent = Spawn(L"\"" + Dir() + L"agentsim.exe\" --instance " + instance + L" --scenario \"" +
                                          scenarioPath + L"\" --parent " + std::to_wstring(::GetCurrentProcessId()) +
                                          L" --time-limit 600 --ready " + readyName);
    HANDLE waits[2] = {ready.get(), agent.get()};
    if (!agent || ::WaitForMultipleObjects(2, waits, FALSE, 30000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "bench: agentsim did not start\n");
        return 1;
    }

    const CORE::Message request = CORE::Message::NewRequest(L"DesktopManager", L"GetCredentialsForTicket", TicketRequest());
    const size_t requestBytes = WireBytes(request);
    const size_t responseBytes = WireBytes(request.MakeResponse(0, TicketAnswer()));

    std::vector<double> shm = ShmBaseline(requestBytes, responseBytes);
    std::vector<double> pipe = PipeBaseline(requestBytes, responseBytes);

    CORE::MessageFrameWork* framework = CORE::MessageFrameWork::GetFrameWork();
    std::vector<double> roundTrips;
    int failures = 0;
    if (CORE::MessageChannel* channel = framework->ConnectChannel(CORE::MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM)) {
        CORE::PropertyBag response;
        for (int i = 0; i < kWarmup + kRounds; ++i) {
            double start = bench::NowMicros();
            DWORD result = framework->SendMsg(L"DesktopManager", L"GetCredentialsForTicket", TicketRequest(), response,
                                              channel, 30000);
            double elapsed = bench::NowMicros() - start;
            if (result != 0 || response.Count() != 20) ++failures;
            if (i >= kWarmup) roundTrips.push_back(elapsed);
        }
        framework->CloseChannel(channel);
    } else {
        std::fprintf(stderr, "bench: no channel to agentsim\n");
        ++failures;
    }

    std::vector<double> sequences;
    for (int i = 0; i < kConnectRounds; ++i) {
        double start = bench::NowMicros();
        CORE::MessageChannel* channel = framework->ConnectChannel(CORE::MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
        CORE::PropertyBag response;
        DWORD result = channel ? framework->SendMsg(L"DesktopManager", L"GetCredentialsForTicket", TicketRequest(),
                                                    response, channel, 30000)
                               : 1;
        if (channel) framework->CloseChannel(channel);
        double elapsed = bench::NowMicros() - start;
        if (result != 0) ++failures;
        sequences.push_back(elapsed);
    }

    const double shmMedian = bench::Percentile(shm, 0.5), pipeMedian = bench::Percentile(pipe, 0.5);
    const double mfwMedian = bench::Percentile(roundTrips, 0.5), seqMedian = bench::Percentile(sequences, 0.5);
    bench::JsonLine("shm_events_pingpong_baseline",
                    bench::Field("request_bytes", static_cast<double>(requestBytes), 0) + "," +
                        bench::Field("response_bytes", static_cast<double>(responseBytes), 0) + "," +
                        bench::Field("median_us", shmMedian) + "," + bench::Field("p99_us", bench::Percentile(shm, 0.99)));
    bench::JsonLine("named_pipe_pingpong_baseline",
                    bench::Field("request_bytes", static_cast<double>(requestBytes), 0) + "," +
                        bench::Field("response_bytes", static_cast<double>(responseBytes), 0) + "," +
                        bench::Field("median_us", pipeMedian) + "," + bench::Field("p99_us", bench::Percentile(pipe, 0.99)));
    bench::JsonLine("mfw_ticket_roundtrip",
                    bench::Field("median_us", mfwMedian) + "," + bench::Field("p99_us", bench::Percentile(roundTrips, 0.99)) +
                        "," + bench::Field("ratio_to_shm_baseline", shmMedian > 0 ? mfwMedian / shmMedian : 0, 2) + "," +
                        bench::Field("within_3x_of_shm", shmMedian > 0 && mfwMedian <= 3 * shmMedian) + "," +
                        bench::Field("ratio_to_pipe_baseline", pipeMedian > 0 ? mfwMedian / pipeMedian : 0, 2) + "," +
                        bench::Field("faster_than_pipe", mfwMedian > 0 && mfwMedian < pipeMedian) + "," +
                        bench::Field("failures", static_cast<double>(failures), 0));
    bench::JsonLine("mfw_connect_send_close",
                    bench::Field("median_us", seqMedian) + "," + bench::Field("p99_us", bench::Percentile(sequences, 0.99)) +
                        "," + bench::Field("target_median_us", 5000, 0) + "," +
                        bench::Field("within_target", seqMedian > 0 && seqMedian < 5000));

    framework->Shutdown();
    ::TerminateProcess(agent.get(), 0);
    ::WaitForSingleObject(agent.get(), 10000);
    ::DeleteFileW(scenarioPath.c_str());
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, simKey.c_str());
    CORE::WaitForLibraryThreads(5000);
    return failures == 0 ? 0 : 2;
}
