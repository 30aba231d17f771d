// The PSD reader under real memory pressure, in a child process so the limits stay there.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <new>
#include <vector>

#include "formats/psd/PsdReader.h"
#include "image/ByteOrder.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint16_t v) {
    b.resize(b.size() + 2);
    byteorder::be::store16(b.data() + b.size() - 2, v);
}
void put32(Bytes& b, uint32_t v) {
    b.resize(b.size() + 4);
    byteorder::be::store32(b.data() + b.size() - 4, v);
}

// No layer section, 3 channels, a PackBits merged image whose every row is `row`.
Bytes mergedOnly(uint32_t w, uint32_t h, const Bytes& row) {
    Bytes b = {'8', 'B', 'P', 'S'};
    put16(b, 1);
    b.insert(b.end(), 6, 0);
    put16(b, 3);
    put32(b, h);
    put32(b, w);
    put16(b, 8);
    put16(b, 3);
    put32(b, 0);  // colour mode data
    put32(b, 0);  // image resources
    put32(b, 0);  // layer and mask information
    put16(b, 1);
    for (uint32_t i = 0; i < 3 * h; ++i) put16(b, static_cast<uint16_t>(row.size()));
    for (uint32_t i = 0; i < 3 * h; ++i) b.insert(b.end(), row.begin(), row.end());
    return b;
}

struct ChildResult {
    int code;      // 0 read, 1 refused, 99 bad_alloc escaped, 128 + signal
    long peakKiB;  // peak resident memory of the child
};

ChildResult readInChild(const Bytes& bytes, rlim_t addressSpace = RLIM_INFINITY) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (addressSpace != RLIM_INFINITY) {
            const rlimit limit{addressSpace, addressSpace};
            setrlimit(RLIMIT_AS, &limit);
        }
        try {
            std::FILE* f = std::tmpfile();
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::rewind(f);
            LayerTempList layers, alphas;
            DocumentInfo doc;
            _exit(readPsd(f, layers, alphas, doc) ? 0 : 1);
        } catch (const std::bad_alloc&) {
            _exit(99);
        }
    }
    int status = 0;
    rusage use{};
    wait4(pid, &status, 0, &use);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), use.ru_maxrss};
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

TEST(PsdReaderLimitsTest, RowsTooShortToUnpackFailBeforeTheBackgroundIsMade) {
    if (kSanitized) GTEST_SKIP() << "the sanitizer's shadow memory blurs the resident size";
    // A 144-KB file whose 16000-byte rows are one 0x80 no-op each: the 1-GB background it would
    // need is never worth making.
    const ChildResult r = readInChild(mergedOnly(16000, 16000, {0x80}));
    EXPECT_EQ(r.code, 1);
    EXPECT_LT(r.peakKiB, 200 * 1024) << "peak " << r.peakKiB << " KiB";
}

TEST(PsdReaderLimitsTest, RunningOutOfMemoryIsAReadFailure) {
    if (kSanitized) GTEST_SKIP() << "the sanitizer reports a failed allocation instead of throwing";
    // A valid 16000 x 16000 document under a 700-MiB address space: its 1-GB background cannot be
    // allocated, which must come back as false, not end the program.
    Bytes row;
    for (int i = 0; i < 16000 / 128; ++i) row.insert(row.end(), {0x81, 0x00});
    const ChildResult r = readInChild(mergedOnly(16000, 16000, row), rlim_t{700} << 20);
    EXPECT_EQ(r.code, 1) << (r.code == 99 ? "std::bad_alloc escaped readPsd" : "");
}

}  // namespace
