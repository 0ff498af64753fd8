// One TCP connection of SMB, whatever its dialect: routes each NetBIOS message by its protocol
// id to the analyser that owns it.
//
//     smbaudit::SmbStream stream(&smb1Sink, addr, smb2Sink, limits);   // addr.m_serverPort: 445 or 139
//     stream.Smb1().SetOptions(...);                 // the SMB1 context, configured as before
//     stream.Feed(fromClient, data, len, time, bytesWereLostBefore);   // every chunk, in order
//     stream.CheckTimeOut(now);
//
// 0xFF 'SMB' messages go to the SMB1 context (CSMBContext), 0xFE 'SMB' (SMB2), 0xFD (transform)
// and 0xFC (compression transform) to the SMB2/3 analyser, created when the first of them
// appears. The multi-protocol NEGOTIATE needs nothing special: the client's SMB1 NEGOTIATE
// offering "SMB 2.???" goes to the SMB1 context, the server's SMB2 NEGOTIATE response to the
// SMB2 analyser, and from then on the connection speaks SMB2.
//
// Consecutive SMB1 messages of one chunk reach the SMB1 context as the original chunk bytes in
// one Proccess call (followed by its drain loop), so routing costs SMB1 only a walk over the
// NetBIOS headers. On port 139 the session service's other packets (0x81 request,
// 0x82/0x83 responses, 0x84 retarget, 0x85 keep-alive) go to the SMB1 context, which knows them;
// the SMB2 analyser sees only session messages, with their 445-style header.
//
// After lost bytes (resync) the router looks for a plausible NetBIOS header followed by one of
// the four protocol ids and restarts there.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "context/smb_context.h"
#include "events/output.h"
#include "smb2/analyzer.h"

namespace smbaudit {

class SmbStream {
public:
    SmbStream(CSMBOutPut* smb1Sink, const _addrInfo& addr, smb2::Sink& smb2Sink, const smb2::Limits& limits);
    ~SmbStream();
    SmbStream(const SmbStream&) = delete;
    SmbStream& operator=(const SmbStream&) = delete;

    void Feed(bool fromClient, const uint8_t* data, size_t len, const CTimeStamp32& time, bool resync);
    void CheckTimeOut(const CTimeStamp32& now);
    size_t BufferedBytes() const;

    CSMBContext& Smb1() { return m_smb1; }
    const CSMBContext& Smb1() const { return m_smb1; }
    // Null until the first SMB2-family message.
    smb2::Connection* Smb2() { return m_smb2.get(); }
    const smb2::Connection* Smb2() const { return m_smb2.get(); }
    // Applied now, or when the SMB2 analyser is created.
    void SetDecryptor(smb2::Decryptor* decryptor);
    void SetSessionDirectory(smb2::SessionDirectory* directory);

    // How often CSMBContext::Proccess returned each result code (SMB_RET_*, -16 ... 15), and the
    // messages whose protocol id is none of the four.
    uint64_t Smb1Results(int rc) const;
    uint64_t UnknownMessages() const { return m_unknownMessages; }

private:
    enum class Owner : uint8_t { None, Smb1, Smb2 };
    // Framing state of one direction.
    struct Direction {
        uint8_t head[8] = {};      // a message's first bytes while they arrive split
        uint8_t headLen = 0;
        uint32_t remaining = 0;    // bytes of the current message not yet routed
        Owner owner = Owner::None; // of the current message
        bool lost = false;         // bytes were lost; look for a message start
        bool smb1Resync = false;   // tell the SMB1 context about the loss with its next bytes
    };

    void Route(bool fromClient, const uint8_t* data, size_t len, const CTimeStamp32& time);
    void ToSmb1(bool fromClient, const uint8_t* data, size_t len, const CTimeStamp32& time);
    void ToSmb2(bool fromClient, const uint8_t* data, size_t len, const CTimeStamp32& time);
    smb2::Connection& Smb2Connection();

    CSMBContext m_smb1;
    smb2::Sink& m_smb2Sink;
    smb2::Limits m_limits;
    std::unique_ptr<smb2::Connection> m_smb2;
    smb2::Decryptor* m_decryptor = nullptr;
    smb2::SessionDirectory* m_directory = nullptr;
    bool m_netbiosSession;         // port 139
    Direction m_dir[2];            // [0] server to client, [1] client to server
    std::array<uint64_t, 32> m_smb1Results{};
    uint64_t m_unknownMessages = 0;
};

}  // namespace smbaudit
