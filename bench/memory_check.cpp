// No export touches the heap, and each stays within a known stack.
//
// Every allocation in the process goes through the counting hooks below
// (operator new in all its forms, and malloc and its relatives, which the
// executable interposes for the shared library too); only those made on a
// thread that is inside an export are counted. Each export runs on a thread
// of its own whose stack was painted beforehand, so the deepest byte it wrote
// gives its peak stack. Each call is driven against a loopback device and
// must return its success code, so the paths measured are the real ones.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "morlune.h"
#include "peer.h"

// --- counting hooks --------------------------------------------------------------

namespace {

std::atomic<long> countedAllocations{0};
thread_local bool insideExport = false;

void note() {
    if (insideExport) countedAllocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

void* malloc(std::size_t size) noexcept {
    note();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    note();
    return __libc_calloc(count, size);
}
void* realloc(void* old, std::size_t size) noexcept {
    note();
    return __libc_realloc(old, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    note();
    return __libc_memalign(alignment, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
    note();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
    note();
    *out = __libc_memalign(alignment, size);
    return *out ? 0 : ENOMEM;
}
}

namespace {

void* allocate(std::size_t size) {
    note();
    if (void* p = __libc_malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
    note();
    if (void* p = __libc_memalign(static_cast<std::size_t>(alignment), size ? size : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    note();
    return __libc_malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    note();
    return __libc_malloc(size ? size : 1);
}
void* operator new(std::size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocateAligned(size, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

// --- probe: one call on a painted stack -------------------------------------------

namespace {

using namespace morlune::bench;

constexpr std::size_t probeStackSize = 256 * 1024;
constexpr std::uint8_t paint = 0xC5;

struct Probe {
    std::int32_t result = 0;
    long allocations = 0;
    std::size_t stackBytes = 0;  // from the top of the thread's stack down to its deepest write
};

struct ProbeRun {
    const std::function<std::int32_t()>* call;
    std::int32_t result;
};

void* probeMain(void* raw) {
    auto* run = static_cast<ProbeRun*>(raw);
    insideExport = true;
    run->result = (*run->call)();
    insideExport = false;
    return nullptr;
}

Probe probe(const std::function<std::int32_t()>& call) {
    std::vector<std::uint8_t> stack(probeStackSize + 4096);
    auto* base = reinterpret_cast<std::uint8_t*>(
        (reinterpret_cast<std::uintptr_t>(stack.data()) + 4095) & ~std::uintptr_t{4095});
    std::memset(base, paint, probeStackSize);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, base, probeStackSize);
    ProbeRun run{&call, 0};
    const long before = countedAllocations.load();
    pthread_t thread;
    Probe probe;
    if (pthread_create(&thread, &attr, probeMain, &run) != 0) {
        ADD_FAILURE() << "cannot start a probe thread";
        return probe;
    }
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    probe.result = run.result;
    probe.allocations = countedAllocations.load() - before;
    std::size_t untouched = 0;
    while (untouched < probeStackSize && base[untouched] == paint) ++untouched;
    probe.stackBytes = probeStackSize - untouched;
    return probe;
}

__attribute__((noinline)) std::int32_t nothing() {
    asm volatile("" ::: "memory");
    return 0;
}

// What the probe thread itself uses (thread start, its descriptor and TLS at
// the top of the stack): taken off every figure.
std::size_t probeBaseline() { return probe([] { return nothing(); }).stackBytes; }

// --- the table ------------------------------------------------------------------

constexpr int oneShotSlot = 201;                    // a prompt device on port 8000 of 127.B.0.201
constexpr const char* deadAddress = "127.0.0.202";  // nobody listens here

struct Scenario {
    const char* name;
    std::int32_t expected;
    std::size_t stackLimit;
    std::function<std::int32_t()> call;
};

class MemoryCheck : public ::testing::Test {
protected:
    void SetUp() override {
        device_ = devicePeerOnPort8000(oneShotSlot, servePromptDevice, &deviceAddress_);
        held_ = std::make_unique<ScriptedPeer>("127.0.0.1", 0, serveHeldDevice);
        ASSERT_TRUE(device_ && held_->ok()) << "cannot listen on loopback";
    }
    std::string deviceAddress_;
    std::unique_ptr<ScriptedPeer> device_;
    std::unique_ptr<ScriptedPeer> held_;
};

TEST(CountingHook, SeesEveryKindOfAllocationOnAProbedThread) {
    void* (*volatile viaMalloc)(std::size_t) = std::malloc;
    const Probe p = probe([&] {
        void* a = viaMalloc(24);
        void* b = ::operator new(24);
        void* c = ::operator new[](24, std::nothrow);
        std::string text(200, 'x');       // the standard library's own allocations
        std::free(::strdup("made in libc"));  // malloc called from inside another shared object
        std::free(a);
        ::operator delete(b);
        ::operator delete[](c);
        return static_cast<std::int32_t>(text.size());
    });
    EXPECT_EQ(p.result, 200);
    EXPECT_GE(p.allocations, 5);
    EXPECT_GT(p.stackBytes, 0u);
}

TEST(CountingHook, IgnoresOtherThreads) {
    const long before = countedAllocations.load();
    std::vector<int> elsewhere(100);
    EXPECT_EQ(countedAllocations.load(), before);
}

TEST_F(MemoryCheck, NoExportAllocatesAndEachStaysWithinItsStack) {
    const std::size_t baseline = probeBaseline();
    constexpr std::size_t small = 8 * 1024;            // exports with a few bytes of storage
    constexpr std::size_t listBlock = 17000 + small;   // the black list's block buffer on top

    std::uint8_t readCmd[5] = {0x01, 0x10, 0x00, 16, 0};
    std::uint8_t bigReadCmd[5] = {0x01, 0x10, 4000 >> 8, 4000 & 0xFF, 0};
    std::vector<std::uint8_t> reply(4001);
    std::uint8_t writeCmd[5] = {0x01, 0x20, 0x00, 10, 0};
    std::uint8_t writeData[11] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0};
    const std::uint8_t oneEntry[3] = {0x00, 0x10, 0x92};
    std::vector<std::uint8_t> bitmapEntries;
    for (int n = 3; n <= 150; n += 3)
        bitmapEntries.insert(bitmapEntries.end(), {0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    const auto bitmapCount = static_cast<std::int32_t>(bitmapEntries.size() / 3);

    std::int32_t sock = -1;
    const std::uint8_t comm[5] = {0x01, 0x30, 0, 0, 0x31};
    const std::uint8_t get[5] = {0x01, 0x31, 0, 0, 0x32};
    const std::uint8_t send[5] = {0x01, 0x32, 0, 0, 0x33};
    std::uint8_t received[8];
    std::uint8_t presence[7];
    const std::string heldAddress = "127.0.0.1";
    const std::int32_t heldPort = held_->port();
    const char* oneShotAddress = deviceAddress_.c_str();

    const std::vector<Scenario> scenarios = {
        {"IPSetIPAddr", 0, small, [] { return IPSetIPAddr(1, 2, 3); }},
        {"IPSearch", 1, small, [] { return IPSearch(0); }},
        {"ipConnectDevice", 0, small,
         [&] {
             sock = ipConnectDevice(heldAddress.c_str(), heldPort);
             return sock < 0 ? -1 : 0;
         }},
        {"IPComm", 0, small, [&] { return IPComm(5, comm, 8, received, 0, sock); }},
        {"IPget", 0, small, [&] { return IPget(5, get, 8, received, sock); }},
        {"IPsend", 0, small, [&] { return IPsend(5, send, 10, 0, sock); }},
        {"iPonNet", 0, small, [&] { return iPonNet(0x105, presence, sock); }},
        {"ipCloseDevice", 0, small, [&] { return ipCloseDevice(sock); }},
        {"ipConnectDevice, refused", -1, small, [] { return ipConnectDevice(deadAddress, 8000); }},
        {"IPGetData, reply 16", 0, small, [&] { return IPGetData(4, readCmd, 16, reply.data(), oneShotAddress); }},
        {"IPGetData, reply 4000", 0, small,
         [&] { return IPGetData(4, bigReadCmd, 4000, reply.data(), oneShotAddress); }},
        {"IPGetData, refused", 1, small, [&] { return IPGetData(4, readCmd, 16, reply.data(), deadAddress); }},
        {"IPSendData, data 10", 0, small, [&] { return IPSendData(4, writeCmd, 10, writeData, oneShotAddress); }},
        {"IPSendData, refused", 1, small, [&] { return IPSendData(4, writeCmd, 10, writeData, deadAddress); }},
        {"IPsendBlack, one entry", 0, listBlock, [&] { return IPsendBlack(7, 1, oneEntry, oneShotAddress); }},
        {"IPsendBlack, bitmap to 150", 0, listBlock,
         [&] { return IPsendBlack(7, bitmapCount, bitmapEntries.data(), oneShotAddress); }},
        {"IPsendBlack, refused", 1, listBlock, [&] { return IPsendBlack(7, 1, oneEntry, deadAddress); }},
    };

    // The first pass also pays for the loader binding each symbol on first
    // use; the second is the export alone. Both must stay off the heap.
    std::printf("peak stack per export, bytes above the probe thread's own %zu (first call / later calls)\n",
                baseline);
    std::vector<Probe> first;
    for (int pass = 0; pass < 2; ++pass) {
        for (std::size_t i = 0; i < scenarios.size(); ++i) {
            const Scenario& s = scenarios[i];
            SCOPED_TRACE(std::string(s.name) + (pass ? ", later call" : ", first call"));
            const Probe p = probe(s.call);
            EXPECT_EQ(p.result, s.expected);
            EXPECT_EQ(p.allocations, 0);
            const std::size_t used = p.stackBytes > baseline ? p.stackBytes - baseline : 0;
            EXPECT_LE(used, s.stackLimit);
            if (pass == 0) {
                first.push_back(p);
            } else {
                const std::size_t cold = first[i].stackBytes > baseline ? first[i].stackBytes - baseline : 0;
                std::printf("  %-28s %6zu / %6zu\n", s.name, cold, used);
            }
        }
    }
}

}  // namespace
