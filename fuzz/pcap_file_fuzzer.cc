// The reader of mapped capture files on arbitrary bytes: every frame it gives lies inside
// the file, after the one before, no longer than the largest captured length, and the walk
// ends (at the end, or at the first damaged record).
#include <cstdint>
#include <cstdlib>

#include "touch_sink.h"
#include "tools/smbaudit/pcap_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    smbaudit::PcapFileReader reader;
    if (!reader.Open(data, size)) return 0;
    smbaudit::PcapFileReader::Frame frame;
    const uint8_t* last = data;
    for (;;) {
        const auto next = reader.Read(frame);
        if (next != smbaudit::PcapFileReader::Next::Frame) {
            if ((next == smbaudit::PcapFileReader::Next::Damaged) == reader.Error().empty()) std::abort();
            return 0;
        }
        if (frame.bytes < last || frame.capLen > reader.kMaxCapLen || frame.bytes + frame.capLen > data + size ||
            reader.Offset() > size)
            std::abort();
        TouchBytes(reinterpret_cast<const char*>(frame.bytes), frame.capLen);
        last = frame.bytes + frame.capLen;
    }
}
