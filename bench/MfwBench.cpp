// Message framework benchmarks, between two processes under the same conditions:
//  - a typical "GetCredentialsForTicket" round trip (about 20 string items in the answer) on
//    an open channel to agentsim, against a bare shared-memory-and-events ping-pong and a
//    named-pipe ping-pong of the same byte counts, measured in the same run;
//  - the whole ConnectChannel + SendMsg + CloseChannel sequence.
// One JSON line per figure. Run through scripts/bench.sh (or the bench_* CTest-free targets).
#include "BenchSupport.h"

#include "lib/mfw/common/MessageFrameWork.h"
#include "lib/mfw/common/threads/corerunnable.h"
#include "lib/mfw/common/threads/coretimer.h"
#include "platform/UniqueResource.h"

#include "support/FakePlatform.h"

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

// The two baselines as partners kept running, so their rounds can be interleaved with the
// framework's: a busy machine then weighs on all of them alike.
class ShmPeer {
public:
    bool Start(size_t requestBytes, size_t responseBytes) {
        requestBytes_ = requestBytes;
        responseBytes_ = responseBytes;
        const std::wstring name = L"Local\\TcBenchShm." + std::to_wstring(::GetCurrentProcessId());
        section_.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1 << 20, (name + L".Map").c_str()));
        request_.reset(::CreateEventW(nullptr, FALSE, FALSE, (name + L".Req").c_str()));
        response_.reset(::CreateEventW(nullptr, FALSE, FALSE, (name + L".Resp").c_str()));
        if (!section_ || !request_ || !response_) return false;
        block_ = static_cast<ShmBlock*>(::MapViewOfFile(section_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
        child_ = Spawn(L"\"" + SelfPath() + L"\" --child-shm " + name + L" " + std::to_wstring(responseBytes));
        local_.assign(requestBytes, 0x41);
        answer_.resize(responseBytes);
        return block_ && child_;
    }
    bool RoundTrip() {
        std::memcpy(block_->data, local_.data(), requestBytes_);
        ::SetEvent(request_.get());
        if (::WaitForSingleObject(response_.get(), 10000) != WAIT_OBJECT_0) return false;
        std::memcpy(answer_.data(), block_->data, responseBytes_);
        return true;
    }
    ~ShmPeer() {
        if (block_) {
            block_->stop = 1;
            ::SetEvent(request_.get());
            ::WaitForSingleObject(child_.get(), 10000);
            ::UnmapViewOfFile(block_);
        }
    }

private:
    size_t requestBytes_ = 0, responseBytes_ = 0;
    platform::unique_handle section_, request_, response_, child_;
    ShmBlock* block_ = nullptr;
    std::vector<BYTE> local_, answer_;
};

class PipePeer {
public:
    bool Start(size_t requestBytes, size_t responseBytes) {
        requestBytes_ = requestBytes;
        responseBytes_ = responseBytes;
        const std::wstring tag = L"TcBenchPipe." + std::to_wstring(::GetCurrentProcessId());
        const std::wstring name = L"\\\\.\\pipe\\" + tag;
        platform::unique_handle ready(::CreateEventW(nullptr, TRUE, FALSE, (L"Local\\" + tag + L".Ready").c_str()));
        child_ = Spawn(L"\"" + SelfPath() + L"\" --child-pipe " + name + L" " + std::to_wstring(requestBytes) + L" " +
                       std::to_wstring(responseBytes));
        ::WaitForSingleObject(ready.get(), 10000);
        pipe_.reset(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        request_.assign(requestBytes, 0x42);
        answer_.resize(responseBytes);
        return pipe_.valid();
    }
    bool RoundTrip() {
        DWORD n = 0;
        if (!::WriteFile(pipe_.get(), request_.data(), static_cast<DWORD>(requestBytes_), &n, nullptr)) return false;
        size_t got = 0;
        while (got < responseBytes_) {
            if (!::ReadFile(pipe_.get(), answer_.data() + got, static_cast<DWORD>(responseBytes_ - got), &n, nullptr) || n == 0)
                return false;
            got += n;
        }
        return true;
    }
    ~PipePeer() {
        pipe_.reset();
        if (child_) ::WaitForSingleObject(child_.get(), 10000);
    }

private:
    size_t requestBytes_ = 0, responseBytes_ = 0;
    platform::unique_hfile pipe_;
    platform::unique_handle child_;
    std::vector<BYTE> request_, answer_;
};

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
    CORE::SecureBytes bytes;
    message.FlattenPlain(&bytes);
    return bytes.size() + 4 /* packet word */ + 4 + 24 /* protection */ + 4 /* ring record */;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 4 && std::wstring(argv[1]) == L"--child-shm") return ShmChild(argv[2], static_cast<size_t>(_wtoi(argv[3])));
    if (argc >= 5 && std::wstring(argv[1]) == L"--child-pipe")
        return PipeChild(argv[2], static_cast<size_t>(_wtoi(argv[3])), static_cast<size_t>(_wtoi(argv[4])));

    // The seam of the tests: the test security package (Wine completes no SSPI handshake) and
    // a node manager instance of our own, answered from memory.
    testsupport::FakePlatform platform;
    const std::wstring instance = L"bench" + std::to_wstring(::GetCurrentProcessId());
    platform.nodeManagerInstance = instance;

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

    ShmPeer shmPeer;
    PipePeer pipePeer;
    CORE::MessageFrameWork* framework = CORE::MessageFrameWork::GetFrameWork();
    CORE::MessageChannel* channel = framework->ConnectChannel(CORE::MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
    if (!shmPeer.Start(requestBytes, responseBytes) || !pipePeer.Start(requestBytes, responseBytes) || !channel) {
        std::fprintf(stderr, "bench: a partner did not start\n");
        return 1;
    }
    int failures = 0;
    auto mfwRoundTrip = [&] {
        CORE::PropertyBag response;
        DWORD result = framework->SendMsg(L"DesktopManager", L"GetCredentialsForTicket", TicketRequest(), response, channel, 30000);
        if (result != 0 || response.Count() != 20) ++failures;
    };
    auto sequence = [&] {
        CORE::MessageChannel* fresh = framework->ConnectChannel(CORE::MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
        CORE::PropertyBag response;
        DWORD result = fresh ? framework->SendMsg(L"DesktopManager", L"GetCredentialsForTicket", TicketRequest(), response,
                                                  fresh, 30000)
                             : 1;
        if (fresh) framework->CloseChannel(fresh);
        if (result != 0) ++failures;
    };
    auto timed = [](auto&& fn, int count, std::vector<double>* samples) {
        for (int i = 0; i < count; ++i) {
            double start = bench::NowMicros();
            fn();
            if (samples) samples->push_back(bench::NowMicros() - start);
        }
    };
    // Warm-up, then blocks of each kind in turn.
    timed([&] { shmPeer.RoundTrip(); }, kWarmup, nullptr);
    timed([&] { pipePeer.RoundTrip(); }, kWarmup, nullptr);
    timed(mfwRoundTrip, kWarmup, nullptr);
    timed(sequence, 5, nullptr);
    std::vector<double> shm, pipe, roundTrips, sequences;
    const int blocks = 10;
    for (int block = 0; block < blocks; ++block) {
        timed([&] { if (!shmPeer.RoundTrip()) ++failures; }, kRounds / blocks, &shm);
        timed([&] { if (!pipePeer.RoundTrip()) ++failures; }, kRounds / blocks, &pipe);
        timed(mfwRoundTrip, kRounds / blocks, &roundTrips);
        timed(sequence, kConnectRounds / blocks, &sequences);
    }
    framework->CloseChannel(channel);

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
                        bench::Field("within_1_15x_of_shm", shmMedian > 0 && mfwMedian <= 1.15 * shmMedian) + "," +
                        bench::Field("ratio_to_pipe_baseline", pipeMedian > 0 ? mfwMedian / pipeMedian : 0, 2) + "," +
                        bench::Field("faster_than_pipe", mfwMedian > 0 && mfwMedian < pipeMedian) + "," +
                        bench::Field("failures", static_cast<double>(failures), 0));
    bench::JsonLine("mfw_connect_send_close",
                    bench::Field("median_us", seqMedian) + "," + bench::Field("p99_us", bench::Percentile(sequences, 0.99)) +
                        "," + bench::Field("target_median_us", 2000, 0) + "," +
                        bench::Field("within_target", seqMedian > 0 && seqMedian < 2000));

    framework->Shutdown();
    CORE::ShutdownTimerService();
    ::TerminateProcess(agent.get(), 0);
    ::WaitForSingleObject(agent.get(), 10000);
    ::DeleteFileW(scenarioPath.c_str());
    CORE::WaitForLibraryThreads(5000);
    return failures == 0 ? 0 : 2;
}
