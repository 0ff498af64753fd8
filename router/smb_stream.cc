// Routing each NetBIOS message of a connection to the SMB1 context or the SMB2 analyser.
#include "router/smb_stream.h"

#include <algorithm>
#include <cstring>

#include "framework/netbios.h"

namespace smbaudit {

namespace {
constexpr int kResultBias = 16;  // Smb1Results index of result code 0

// A session message (type 0) whose protocol id is 0xFE, 0xFD or 0xFC 'SMB'; h holds 8 bytes.
inline bool IsSmb2Family(const uint8_t* h) {
    return h[0] == 0 && h[4] >= 0xFC && h[4] <= 0xFE && h[5] == 'S' && h[6] == 'M' && h[7] == 'B';
}
}  // namespace

SmbStream::SmbStream(CSMBOutPut* smb1Sink, const _addrInfo& addr, smb2::Sink& smb2Sink, const smb2::Limits& limits)
    : m_smb2Sink(smb2Sink), m_limits(limits), m_netbiosSession(addr.m_serverPort != 445) {
    _addrInfo a = addr;
    m_smb1.Init(smb1Sink, a, nullptr);
}

SmbStream::~SmbStream() = default;

smb2::Connection& SmbStream::Smb2Connection() {
    if (!m_smb2) {
        m_smb2 = std::make_unique<smb2::Connection>(m_smb2Sink, m_limits);
        m_smb2->SetDecryptor(m_decryptor);
        m_smb2->SetSessionDirectory(m_directory);
    }
    return *m_smb2;
}

void SmbStream::SetDecryptor(smb2::Decryptor* decryptor) {
    m_decryptor = decryptor;
    if (m_smb2) m_smb2->SetDecryptor(decryptor);
}

void SmbStream::SetSessionDirectory(smb2::SessionDirectory* directory) {
    m_directory = directory;
    if (m_smb2) m_smb2->SetSessionDirectory(directory);
}

uint64_t SmbStream::Smb1Results(int rc) const {
    int i = rc + kResultBias;
    return i >= 0 && i < int(m_smb1Results.size()) ? m_smb1Results[i] : 0;
}

void SmbStream::ToSmb1(bool fromClient, const uint8_t* data, size_t len, const CTimeStamp32& time) {
    Direction& d = m_dir[fromClient];
    const bool resync = d.smb1Resync;
    if (!len && !resync) return;
    d.smb1Resync = false;
    CTimeStamp32 t = time;
    // Proccess takes a mutable pointer but only reads the chunk.
    int rc = m_smb1.Proccess(const_cast<char*>(reinterpret_cast<const char*>(data)), int(len), fromClient, 0, t, resync);
    for (;;) {
        int i = rc + kResultBias;
        if (i >= 0 && i < int(m_smb1Results.size())) ++m_smb1Results[i];
        if (!m_smb1.HasBufferedMessage(fromClient)) break;
        rc = m_smb1.Proccess(nullptr, 0, fromClient, 0, t, false);
    }
}

void SmbStream::ToSmb2(bool fromClient, const uint8_t* data, size_t len, const CTimeStamp32& time) {
    Smb2Connection().Feed(fromClient, data, len, time, false);
}

void SmbStream::Feed(bool fromClient, const uint8_t* data, size_t len, const CTimeStamp32& time, bool resync) {
    Direction& d = m_dir[fromClient];
    if (resync) {
        d = Direction{};
        d.lost = true;
        d.smb1Resync = true;
        if (m_smb2) m_smb2->Feed(fromClient, nullptr, 0, time, true);
    }
    Route(fromClient, data, len, time);
}

void SmbStream::Route(bool fromClient, const uint8_t* data, size_t len, const CTimeStamp32& time) {
    Direction& d = m_dir[fromClient];
    // A run of consecutive SMB1 bytes of this chunk, handed over in one call.
    const uint8_t* run = nullptr;
    size_t runLen = 0;
    auto flushRun = [&] {
        if (run) ToSmb1(fromClient, run, runLen, time);
        run = nullptr;
        runLen = 0;
    };

    while (len > 0) {
        if (d.lost) {
            size_t at = FindMessageStart(data, len, m_netbiosSession);
            data += at;
            len -= at;
            if (!len) break;
            d.lost = false;
        }
        // Fast path: whole NetBIOS headers in the chunk, messages that stay with SMB1 (the
        // SMB1 signature, or anything else the SMB1 context already knows how to skip).
        while (d.remaining == 0 && d.headLen == 0 && len >= 8 && !IsSmb2Family(data)) {
            const size_t total = 4 + size_t(NetbiosLength(data, m_netbiosSession));
            if (data[0] == 0 && (data[4] != 0xFF || data[5] != 'S' || data[6] != 'M' || data[7] != 'B'))
                ++m_unknownMessages;
            if (!run) run = data;
            const size_t n = std::min(total, len);
            runLen += n;
            data += n;
            len -= n;
            d.owner = Owner::Smb1;
            d.remaining = uint32_t(total - n);
        }
        if (len == 0) break;
        if (d.remaining > 0) {
            size_t n = std::min<size_t>(len, d.remaining);
            if (d.owner == Owner::Smb1) {
                if (!run) run = data;
                runLen += n;
            } else {
                flushRun();
                ToSmb2(fromClient, data, n, time);
            }
            data += n;
            len -= n;
            d.remaining -= uint32_t(n);
            continue;
        }

        // At a message start: its NetBIOS header and protocol id decide the owner. Header bytes
        // kept from the previous chunk are in d.head; the chunk's bytes are copied after them
        // only to look at, and stay in the chunk.
        const uint8_t* head = data;
        size_t headAvail = len;
        const size_t kept = d.headLen;
        if (kept) {
            size_t n = std::min(len, sizeof d.head - kept);
            std::memcpy(d.head + kept, data, n);
            head = d.head;
            headAvail = kept + n;
        }
        const uint32_t bodyLen = headAvail >= 4 ? NetbiosLength(head, m_netbiosSession) : 0;
        if (headAvail < 4 + std::min<uint32_t>(bodyLen, 4)) {
            // The header is cut by the chunk's end: keep its bytes until the rest arrives.
            flushRun();
            std::memcpy(d.head + kept, data, len);
            d.headLen = uint8_t(kept + len);
            return;
        }
        d.headLen = 0;
        const bool smb2 = bodyLen >= 4 && IsSmb2Family(head);
        if (head[0] == 0 && !smb2 && (bodyLen < 4 || ProtocolOf(head + 4) != SmbProtocol::Smb1)) ++m_unknownMessages;
        d.owner = smb2 ? Owner::Smb2 : Owner::Smb1;
        d.remaining = 4 + bodyLen - uint32_t(kept);
        if (!smb2) {
            if (kept) ToSmb1(fromClient, d.head, kept, time);
            continue;
        }
        flushRun();
        // The SMB2 analyser reads 24-bit lengths: it gets a header of its own in place of the
        // original (on port 139 that one may carry the length extension flag), in one piece
        // with the protocol id so that it recognises a message start after lost bytes.
        const uint8_t start[8] = {0, uint8_t(bodyLen >> 16), uint8_t(bodyLen >> 8), uint8_t(bodyLen),
                                  head[4], head[5], head[6], head[7]};
        ToSmb2(fromClient, start, sizeof start, time);
        const size_t fromChunk = sizeof start - kept;  // kept < 8 <= headAvail
        data += fromChunk;
        len -= fromChunk;
        d.remaining = 4 + bodyLen - uint32_t(sizeof start);
    }
    flushRun();
}

void SmbStream::CheckTimeOut(const CTimeStamp32& now) {
    m_smb1.CheckTimeOut(now);
    if (m_smb2) m_smb2->CheckTimeOut(now);
}

size_t SmbStream::BufferedBytes() const { return m_smb1.BufferedBytes() + (m_smb2 ? m_smb2->BufferedBytes() : 0); }

}  // namespace smbaudit
