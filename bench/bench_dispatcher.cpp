// Dispatcher data path throughput over an in-memory device layer: received bytes into the
// dispatch buffer and out to the reader, the data trigger scan, and queuing output; and the
// platform layer's overlapped reads on a pseudo-terminal with a fresh record each time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "PseudoTerminal.h"
#include "serial/Dispatcher.h"

namespace {

// A device whose driver always holds Pending bytes of a fixed pattern, and whose output
// thread sends everything at once when asked.
class MemoryDevice : public TBaseDispatcher {
  public:
    MemoryDevice() : TBaseDispatcher(nullptr), Pattern(65536) {
        for (size_t i = 0; i < Pattern.size(); ++i) Pattern[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    ~MemoryDevice() override { ClosePort(); }

    uint32_t Pending = 0;
    std::vector<uint8_t> Pattern;
    size_t PatternAt = 0;

    void SendAll() {
        TCriticalSectionHold hold(OutputLock);
        OutRing.Clear();
    }

    int32_t LineFunction(int32_t) override { return 0; }
    int32_t PurgeQueue(int32_t which) override {
        if (which != 0) Pending = 0;
        return 0;
    }
    uint32_t ReadLineStatus(COMSTAT& status) override {
        status = COMSTAT{};
        status.cbInQue = Pending;
        TCriticalSectionHold hold(OutputLock);
        status.cbOutQue = static_cast<DWORD>(OutRing.Count());
        return 0;
    }
    int32_t NoteReadError(int32_t) override { return 0; }
    int32_t FetchLineSettings(DCB& dcb) override {
        dcb = Dcb;
        return 0;
    }
    int32_t ReadDevice(uint8_t* dest, uint32_t count) override {
        uint32_t n = std::min(count, Pending);
        for (uint32_t done = 0; done < n;) {
            uint32_t run = std::min<uint32_t>(n - done, Pattern.size() - PatternAt);
            std::memcpy(dest + done, Pattern.data() + PatternAt, run);
            PatternAt = (PatternAt + run) % Pattern.size();
            done += run;
        }
        Pending -= n;
        return static_cast<int32_t>(n);
    }
    int32_t ApplyLineSettings(DCB& dcb) override {
        Dcb = dcb;
        return 0;
    }
    int32_t QueueOutput(const uint8_t* data, uint32_t count) override {
        TCriticalSectionHold hold(OutputLock);
        return OutRing.Put(data, count) ? static_cast<int32_t>(count) : 0;
    }
    bool WaitDeviceEvent(DWORD&, OVERLAPPED*) override { return false; }
    bool SizeDeviceQueues(uint32_t, uint32_t) override { return true; }
    void StartThreads() override { ThreadsRunning = true; }
    void StopThreads() override { ThreadsRunning = false; }
    intptr_t OpenDevice(const char*, uint32_t, uint32_t) override { return 1; }
    int32_t CloseDevice() override {
        DeviceHandle = -1;
        return 0;
    }
    int32_t YieldTime() override { return 0; }

  private:
    DCB Dcb{};
};

void OpenOrSkip(benchmark::State& state, MemoryDevice& device) {
    device.SetSleeper([](uint32_t) {});
    if (device.OpenPort("COM1", 9600, 0, 8, 1, 4096, 4096, true, false) != 0)
        state.SkipWithError("open failed");
}

// Bytes from the driver through the dispatch buffer to the reader, in reads of Arg bytes.
void BM_FillAndTake(benchmark::State& state) {
    MemoryDevice device;
    OpenOrSkip(state, device);
    const uint32_t chunk = static_cast<uint32_t>(state.range(0));
    std::vector<uint8_t> dest(chunk);
    for (auto _ : state) {
        device.Pending = chunk;
        device.FillDispatchBuffer();
        if (device.TakeInput(dest.data(), chunk) != static_cast<int32_t>(chunk)) {
            state.SkipWithError("short read");
            break;
        }
        benchmark::DoNotOptimize(dest.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk);
}
BENCHMARK(BM_FillAndTake)->Arg(12)->Arg(4096);

// The data trigger scan over 4 KiB arrivals, with Arg data triggers that rarely match.
void BM_CheckDataTriggers(benchmark::State& state) {
    MemoryDevice device;
    OpenOrSkip(state, device);
    const char* texts[] = {"OK\r\n", "ERROR",      "CONNECT", "\xAA\x01\x02",
                           "RING",   "NO CARRIER", "BUSY",    "ABCDEFGHIJKLMNOPQRSTUV"};
    for (int64_t i = 0; i < state.range(0); ++i) device.AddDataTrigger(texts[i], i % 2 == 1);
    constexpr uint32_t Chunk = 4096;
    for (auto _ : state) {
        device.Pending = Chunk;
        device.FillDispatchBuffer();
        while (device.CheckDataTriggers()) {
        }
        device.FlushInput();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * Chunk);
}
BENCHMARK(BM_CheckDataTriggers)->Arg(0)->Arg(1)->Arg(8);

// One byte queued for output per iteration; the ring is emptied whenever it fills.
void BM_PutOutputByte(benchmark::State& state) {
    MemoryDevice device;
    OpenOrSkip(state, device);
    uint8_t byte = 0;
    for (auto _ : state) {
        if (device.PutOutputByte(byte++) != 0) device.SendAll();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_PutOutputByte);

// An overlapped read that returns at once, each with a record never used before (a common Win32
// habit), after Arg(0) such reads had been made on the port: the cost must not grow with them.
void BM_ReadWithAFreshRecord(benchmark::State& state) {
    std::string name;
    const int master = k419::bench::OpenPseudoTerminal(name);
    if (master < 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
    if (port == INVALID_HANDLE_VALUE || !SetCommTimeouts(port, &atOnce)) {
        state.SkipWithError("cannot open the pseudo-terminal");
        ::close(master);
        return;
    }
    char buffer[16];
    DWORD read = 0;
    std::vector<OVERLAPPED> used(static_cast<size_t>(state.range(0)));
    for (OVERLAPPED& record : used) ReadFile(port, buffer, sizeof buffer, &read, &record);
    std::vector<OVERLAPPED> records(1 << 16);
    size_t next = 0;
    for (auto _ : state) {
        if (next == records.size()) {
            state.PauseTiming();
            records.assign(records.size(), OVERLAPPED{});
            next = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(ReadFile(port, buffer, sizeof buffer, &read, &records[next++]));
    }
    CloseHandle(port);
    ::close(master);
}
BENCHMARK(BM_ReadWithAFreshRecord)->Arg(0)->Arg(40000);

}  // namespace

BENCHMARK_MAIN();
