// A user-set file as a software device's store loads it (fuzz_softdevice.h: one device per process).
//
// Input: the whole file, written as UserSet1.txt in the device's store and loaded by the controller
// (UserSetSelector 1, UserSetLoad 1). Before each input the Default set puts the image format and the
// Streamable features back and Tune is zeroed (its sink's values are not Default's), so that an input
// meets the device as every other does.
// Checked besides the sanitizers: the load answers SUCCESS or ERROR, nothing else; a load that
// succeeded succeeds again from where it left the device; the device answers afterwards.
//
// A parse slower than linear in the file's size shows as a timeout, but only past this target's
// inputs (at most 64 KiB: regressions/userset_file/distinct-custom-lines is 3,840 distinct custom
// lines, which a quadratic parse still gets through in under a second). The input that shows it is
// 30,000 distinct lines (500 KB; a parse that scanned the earlier lines for each took about 30 s of
// it here, a linear one 0.1 s):
//     seq 0 29999 | awk '{printf "custom G%x %d 00\n", int($1/8), $1%8}' > distinct-30000
//     build-fuzz/fuzz_userset_file -max_len=1048576 -timeout=10 distinct-30000
#include "fuzz_softdevice.h"

#include <fcntl.h>

using KivoFuzz::Bytes;
using KivoFuzz::SoftDevice;
using TqEngine::Gvcp::kError;

namespace {

void WriteSet(const SoftDevice& aDevice, const uint8_t* aData, size_t aSize) {
    const std::string path = aDevice.Store() + "/UserSet1.txt";
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    KIVO_FUZZ_CHECK(file >= 0);
    for (size_t at = 0; at < aSize;) {
        const ssize_t n = write(file, aData + at, aSize - at);
        KIVO_FUZZ_CHECK(n > 0);
        at += size_t(n);
    }
    KIVO_FUZZ_CHECK(close(file) == 0);
}

Bytes Text(const std::string& aText) { return Bytes(aText.begin(), aText.end()); }

// The set the device itself saved, then lines of each kind and their corners.
std::vector<Bytes> Seeds() {
    SoftDevice& device = SoftDevice::Get();
    std::vector<Bytes> seeds;
    const std::string saved = device.Store() + "/UserSet1.txt";
    if (FILE* file = std::fopen(saved.c_str(), "rb")) {
        Bytes bytes;
        for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(uint8_t(c));
        std::fclose(file);
        seeds.push_back(bytes);
    }
    seeds.push_back(Text("# kivo user set\nWidth 0 32\nHeight 0 24\nOffsetX 0 8\nOffsetY 0 4\nPixelFormat 0 17301505\n"));
    seeds.push_back(Text("register TuneReg_A 00000007\nregister TuneReg_B 00000009\nregister Odd%20name%25 0a0B\n"));
    seeds.push_back(Text("custom Tune device 0000002a\ncustom Lut device 0102030405060708090a0b0c\n"
                         "custom Gone 3 ff\ncustom Tune 0 00000001\n"));
    seeds.push_back(Text("Width 0 16\r\n\tHeight 0 16\r\n#\n\ncustom Kept device 00000001\n"));
    seeds.push_back(Text("Width 0 32\nWidth 0 16\n"));
    seeds.push_back(Text("custom Tune device 0000000001\ncustom Lut device 00\nregister A %zz\n"));
    return seeds;
}

}  // namespace

KIVO_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
    SoftDevice& device = SoftDevice::Get();
    device.Control();
    KIVO_FUZZ_CHECK(device.WriteReg(SoftDevice::kSelector, 0) == 0 && device.WriteReg(SoftDevice::kLoad, 1) == 0);
    KIVO_FUZZ_CHECK(device.Register(SoftDevice::kTune)->Write(uint32_t(0)).IsOK());
    WriteSet(device, aData, aSize);
    KIVO_FUZZ_CHECK(device.WriteReg(SoftDevice::kSelector, 1) == 0);
    const uint16_t status = device.WriteReg(SoftDevice::kLoad, 1);
    KIVO_FUZZ_CHECK(status == 0 || status == kError);
    if (status == 0) KIVO_FUZZ_CHECK(device.WriteReg(SoftDevice::kLoad, 1) == 0);
    KIVO_FUZZ_CHECK(device.Command(TqEngine::Gvcp::kReadRegCmd, {TqEngine::Reg::kCcp}) == 0);
    return 0;
}
