// The readers under real memory limits, each case in a child process so the limits stay there.
// Every hostile size must be refused before it sizes an allocation: the child runs under an
// address-space limit (so an unguarded reader cannot take the machine down), any allocation that
// limit refuses ends the child with its own code, and the rise of its peak resident size is measured.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "formats/psd/PsdReader.h"
#include "formats/wlx/WlxReader.h"
#include "image/dib24.h"
#include "support/PsdBytes.h"
#include "wlx_test_support.h"

namespace {

using namespace psdbytes;

enum ChildCode { kRead = 0, kRefused = 1, kAllocationRefused = 98, kBadAllocEscaped = 99 };

struct ChildResult {
    int code;        // a ChildCode, or 128 + signal
    long grownKiB;   // how far the child's peak resident size rose above its size at the start
    std::string reason;  // why the read failed, as the reader recorded it
};

// A field of /proc/self/status in KiB ("VmRSS:", "VmHWM:"), or 0.
long statusKiB(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    long kib = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, field, std::strlen(field)) == 0) kib = std::atol(line + std::strlen(field));
    }
    std::fclose(f);
    return kib;
}

// A read of a stream that leaves the reason of a failure in its second argument.
using StreamRead = std::function<bool(std::FILE*, std::string&)>;

// Runs read over the bytes in a child. With catchRefusal, an allocation the address-space limit
// refuses ends the child at once with kAllocationRefused instead of throwing. A ballast takes that
// much of the address space (untouched) before reading.
ChildResult readInChild(const Bytes& bytes, const StreamRead& read, rlim_t addressSpace,
                        bool catchRefusal = true, size_t ballast = 0) {
    int report[2];
    if (pipe(report) != 0) return {-1, 0, {}};
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        // The child starts with the parent's resident pages; only its growth counts.
        const long startKiB = statusKiB("VmRSS:");
        std::FILE* f = std::tmpfile();
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::rewind(f);
        const rlimit limit{addressSpace, addressSpace};
        setrlimit(RLIMIT_AS, &limit);
        void* volatile held = ballast != 0 ? std::malloc(ballast) : nullptr;
        static_cast<void>(held);
        if (catchRefusal) std::set_new_handler([] { _exit(kAllocationRefused); });
        int code = kRefused;
        std::string reason;
        try {
            code = read(f, reason) ? kRead : kRefused;
        } catch (const std::bad_alloc&) {
            code = kBadAllocEscaped;
        }
        const long grown = statusKiB("VmHWM:") - startKiB;
        static_cast<void>(write(report[1], &grown, sizeof grown));
        static_cast<void>(write(report[1], reason.data(), reason.size()));
        _exit(code);
    }
    close(report[1]);
    long grown = -1;
    if (::read(report[0], &grown, sizeof grown) != static_cast<ssize_t>(sizeof grown)) grown = -1;
    std::string reason;
    char buffer[256];
    for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) reason.append(buffer, static_cast<size_t>(n));
    close(report[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), grown, reason};
}

// The conversion is made in the child, where its budget follows the address-space limit.
bool readPsdStream(std::FILE* f, std::string& reason) {
    LayerTempList layers, alphas;
    DocumentInfo doc;
    Conversion conversion;
    const bool read = readPsd(f, layers, alphas, doc, conversion);
    reason = conversion.reason();
    return read;
}
bool readWlxStream(std::FILE* f, std::string& reason) {
    LayerTempList layers;
    DocumentInfo doc;
    Conversion conversion;
    const bool read = readWlx(f, layers, doc, conversion);
    reason = conversion.reason();
    return read;
}
bool loadBmpStream(std::FILE* f, std::string&) {
    dib24 canvas;
    return canvas.loadBmp(f);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// ---- PSD files, field by field -------------------------------------------------------------

// No resources, no layer section, then the merged image data as given.
Bytes psdMergedOnly(uint32_t w, uint32_t h, const Bytes& merged, uint16_t channels = 3) {
    TestPsd psd;
    psd.width = w;
    psd.height = h;
    psd.channels = channels;
    psd.merged = merged;
    return psd.build();
}

// A w x h document whose layer section holds the layers, then an empty raw merged image.
Bytes psdWithLayers(uint32_t w, uint32_t h, const std::vector<TestLayer>& layers,
                    std::optional<int16_t> count = {}) {
    TestPsd psd;
    psd.width = w;
    psd.height = h;
    psd.layerSection = true;
    psd.layerCount = count;
    psd.layers = layers;
    psd.merged = {0, 0};
    return psd.build();
}

// A layer of one channel 0 of the given rectangle and data.
TestLayer oneChannelLayer(int32_t top, int32_t left, int32_t bottom, int32_t right, uint16_t compression,
                          const Bytes& payload) {
    TestLayer layer;
    layer.top = top;
    layer.left = left;
    layer.bottom = bottom;
    layer.right = right;
    layer.channels = {TestChannel{0, compression, payload, {}}};
    return layer;
}

// A PackBits merged image whose every row count is count and every row is row.
Bytes packedMerged(uint64_t rows, uint16_t count, const Bytes& row) {
    Bytes b;
    put16(b, 1);
    for (uint64_t i = 0; i < rows; ++i) put16(b, count);
    for (uint64_t i = 0; i < rows && !row.empty(); ++i) testbytes::put(b, row);
    return b;
}

// A row of width zero bytes as PackBits runs of up to 128.
Bytes zeroRow(uint32_t width) {
    Bytes row;
    for (uint32_t left = width; left > 0;) {
        const uint32_t n = std::min<uint32_t>(left, 128);
        row.insert(row.end(), {static_cast<uint8_t>(257 - n), 0x00});
        left -= n;
    }
    return row;
}

constexpr rlim_t kMiB = rlim_t{1} << 20;
// The address space every hostile case runs in; the memory budget follows it (3/4 of it).
constexpr rlim_t kAddressSpace = 512 * kMiB;
// Far above what reading a small file takes, far below what any refused size would touch.
constexpr long kGrowthKiB = 64 * 1024;

struct HostileCase {
    const char* what;
    Bytes file;
    StreamRead read;
    const char* reason = "";  // the refusal's reason, when it tells which guard refused
};

std::vector<HostileCase> hostileCases() {
    std::vector<HostileCase> cases;
    // PSD: the document budget.
    cases.push_back({"psd: 300000 x 300000 with 100 complete but empty layers",
                     psdWithLayers(300000, 300000, std::vector<TestLayer>(100)), readPsdStream});
    cases.push_back({"psd: 4096 x 4096 with 6 alpha channels, no layers, rows present",
                     psdMergedOnly(4096, 4096, packedMerged(9 * 4096, 64, zeroRow(4096)), 9),
                     readPsdStream});
    cases.push_back({"psd: 30000 x 30000 claiming 1000 layers in a short file", psdWithLayers(30000, 30000, {}, 1000),
                     readPsdStream});
    cases.push_back({"psd: 30000 x 30000 with 65535 alpha channels, no layers",
                     psdMergedOnly(30000, 30000, {0, 1}, 65535), readPsdStream});
    // PSD: sizes checked against what remains of the file.
    {
        Bytes b = TestPsd{}.build();
        b.resize(26 + 4);  // the header and the colour mode data
        put32(b, 0xFFFFFFF0u);  // image resources
        b.insert(b.end(), 16, 0);
        cases.push_back({"psd: resource section longer than the file", b, readPsdStream});
    }
    {
        Bytes merged;
        put16(merged, 0);
        merged.insert(merged.end(), {1, 2, 3});
        cases.push_back({"psd: raw merged image longer than the file", psdMergedOnly(8000, 8000, merged),
                         readPsdStream});
    }
    cases.push_back({"psd: packed merged row-count table longer than the file",
                     psdMergedOnly(1, 50000000, {0, 1, 0, 2, 0, 2}), readPsdStream});
    cases.push_back({"psd: packed merged rows longer than the file",
                     psdMergedOnly(8000, 8000, packedMerged(3 * 8000, 126, {})), readPsdStream});
    cases.push_back({"psd: packed merged rows too short to unpack",
                     psdMergedOnly(8000, 8000, packedMerged(3 * 8000, 1, {0x80})), readPsdStream});
    const Bytes packedRow = {0, 2, 0xFF, 0}, rawRow = {1, 2, 3, 4};
    cases.push_back({"psd: packed layer row as wide as possible",
                     psdWithLayers(2, 2, {oneChannelLayer(0, INT32_MIN, 1, INT32_MAX, 1, packedRow)}), readPsdStream});
    cases.push_back({"psd: raw layer row as wide as possible",
                     psdWithLayers(2, 2, {oneChannelLayer(0, INT32_MIN, 1, INT32_MAX, 0, rawRow)}), readPsdStream});
    cases.push_back({"psd: layer row-count table longer than the file",
                     psdWithLayers(2, 2, {oneChannelLayer(INT32_MIN, 0, INT32_MAX, 1, 1, packedRow)}), readPsdStream});
    // ZIP: the compressed bytes must be able to inflate to the rows before any room is made for them.
    cases.push_back({"psd: ZIP layer channel too short for its rows",
                     psdWithLayers(2, 2, {oneChannelLayer(0, 0, 20000, 20000, 2, Bytes(100, 0))}), readPsdStream,
                     "layer 1: channel 0, 100 compressed bytes cannot inflate to 20000 rows of 20000"});
    cases.push_back({"psd: ZIP merged image too short for its rows", psdMergedOnly(8000, 8000, {0, 3, 0x78, 0x9C}),
                     readPsdStream, "merged image: 2 compressed bytes cannot inflate to 24000 rows of 8000"});
    // A large document's 8-byte lengths.
    {
        TestPsd psd;
        psd.version = 2;
        Bytes b = psd.build();
        b.resize(26 + 4 + 4);
        b.insert(b.end(), 8, 0xFF);  // the layer and mask section
        b.insert(b.end(), 8 + 2, 0);  // no layer info, no layers
        cases.push_back({"psb: layer section as long as a 64-bit length can be", b, readPsdStream,
                         "the layer section cannot be passed"});
    }
    {
        TestPsd psd;
        psd.version = 2;
        psd.layers = {oneChannelLayer(0, 0, 1, 1, 0, {7})};
        psd.layers[0].channels[0].declaredLength = uint64_t{1} << 62;
        cases.push_back({"psb: channel data length of 2^62", psd.build(), readPsdStream,
                         "layer 1: channel 0 cannot be passed"});
    }
    // WLX: the inflate-ratio bound, the budget, and blocks bounded by the file.
    {
        Bytes file = wlxtest::documentHead(8192, 8192, 1);
        wlxtest::appendLayer(file, "short", 0, 128, 1, Bytes(1000, 0));
        cases.push_back({"wlx: 8192 x 8192 layer from a 1000-byte block", file, readWlxStream,
                         "layer 1: a block of 1000 bytes cannot inflate to 268435456"});
    }
    {
        Bytes file = wlxtest::documentHead(10240, 10240, 1);
        wlxtest::appendLayer(file, "large", 0, 128, 1, Bytes(420000, 0));
        cases.push_back({"wlx: 10240 x 10240 layer past the budget, block long enough", file, readWlxStream});
    }
    {
        Bytes file = wlxtest::documentHead(65535, 65535, 2);
        wlxtest::appendLayer(file, "huge", 0, 128, 1, Bytes(1000, 0), 0xFFFFFFFFu);
        cases.push_back({"wlx: block longer than the file", file, readWlxStream});
    }
    // BMP: blocks read as the data arrives.
    {
        Bytes file = {'B', 'M'};
        testbytes::le::put32(file, 0);
        testbytes::le::put32(file, 0);
        testbytes::le::put32(file, 0xFFFFFFF0u);
        file.insert(file.end(), 60, 0);
        cases.push_back({"bmp: header block longer than the file", file, loadBmpStream});
    }
    {
        Bytes file = {'B', 'M'};
        testbytes::le::put32(file, 0);
        testbytes::le::put32(file, 0);
        testbytes::le::put32(file, 54);
        for (uint32_t v : {40u, 30000u, 30000u}) testbytes::le::put32(file, v);
        testbytes::le::put16(file, 1);
        testbytes::le::put16(file, 24);
        file.insert(file.end(), 24 + 100, 0);
        cases.push_back({"bmp: rows longer than the file", file, loadBmpStream});
    }
    return cases;
}

TEST(ReaderLimitsTest, HostileSizesFailBeforeAllocating) {
    if (kSanitized) GTEST_SKIP() << "the sanitizer reserves more address space than the limit allows";
    for (const HostileCase& c : hostileCases()) {
        const ChildResult r = readInChild(c.file, c.read, kAddressSpace);
        EXPECT_EQ(r.code, kRefused) << c.what << (r.code == kAllocationRefused ? ": allocated past the limit" : "");
        EXPECT_LT(r.grownKiB, kGrowthKiB) << c.what << ": grew by " << r.grownKiB << " KiB";
        if (*c.reason != 0) {
            EXPECT_EQ(r.reason, c.reason) << c.what;
        }
        EXPECT_LT(c.file.size(), size_t{3} << 20) << c.what;
    }
}

TEST(ReaderLimitsTest, RunningOutOfMemoryIsAReadFailure) {
    if (kSanitized) GTEST_SKIP() << "the sanitizer reports a failed allocation instead of throwing";
    // Documents within the budget whose 256-MB layer cannot be allocated because most of the
    // address space is taken: bad_alloc must come back as false, not end the program.
    const Bytes row = zeroRow(8000);
    Bytes wlx = wlxtest::documentHead(8192, 8192, 1);
    wlxtest::appendLayer(wlx, "big", 0, 128, 1, Bytes(270000, 0));
    const HostileCase cases[] = {
        {"psd", psdMergedOnly(8000, 8000, packedMerged(3 * 8000, static_cast<uint16_t>(row.size()), row)),
         readPsdStream},
        {"wlx", wlx, readWlxStream},
    };
    for (const HostileCase& c : cases) {
        const ChildResult r = readInChild(c.file, c.read, kAddressSpace, false, 350 * kMiB);
        EXPECT_EQ(r.code, kRefused) << c.what << (r.code == kBadAllocEscaped ? ": std::bad_alloc escaped the reader" : "");
    }
}

}  // namespace
