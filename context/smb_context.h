// The analysis context of one TCP connection carrying SMB1.
//
// Driving a context (one thread at a time per context):
//
//     CSMBContext ctx;
//     ctx.Init(&sink, addr, nullptr);          // addr.m_serverPort selects the NetBIOS rule
//     ctx.SetPendingTimeOut(30);                // optional; 0 (the default) expires everything
//     for each captured TCP payload chunk of one direction, in stream order:
//         ctx.Proccess(data, len, bReq, 0, time, lostBytesBefore);
//         while (ctx.HasBufferedMessage(bReq))  // one call handles at most one message:
//             ctx.Proccess(nullptr, 0, bReq, 0, time, false);  // run the rest that is complete
//     now and then: ctx.CheckTimeOut(now);   // also frees the buffers of quiet directions
//     delete or destroy the context when the connection ends (emits nothing).
//
// Events and pipe payloads reach the sink synchronously from inside Proccess.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "context/pkt_context.h"
#include "events/output.h"
#include "framework/framework.h"

class CSavedInfoBase;
class CSICreate;
class CCreateEvent;
class CSILogon;
class CSITrans2;
class CEventParaBase;
struct _smbConvers;
struct _smbResrcTree;
struct _smbFileObj;

// Host settings beyond the configuration record. The defaults keep the library's standard
// behaviour; the command-line sensor turns the tolerance options on (see README).
struct SMBContextOptions {
    // Largest NetBIOS message (header included) a direction may buffer; a message announced
    // beyond it is dropped at once and the direction waits for the next message boundary.
    // 0: the protocol's own limit (16777219 bytes on port 445, 131075 otherwise).
    uint32_t maxMessageBytes = 0;
    // Most requests awaiting a response; filing one more drops the oldest. 0: no bound.
    uint32_t maxPendingRequests = 0;
    // Accept the standard (non-extended) NT Create AndX response of WordCount 34 that Samba
    // and most non-Windows servers send, with the extended form's field offsets.
    bool acceptStandardNtCreateRsp = false;
    // Let an AndX chain pass through an AndX command that has no handler (LOCKING_ANDX)
    // to the command behind it.
    bool followUnhandledAndX = false;
    // Follow sessions whose logon the standard reading loses. Windows 10 and later send
    // Session Setup AndX with an empty NativeOS and NativeLanMan that end exactly at the
    // block's end (ByteCount = SecurityBlobLength + 5); such empty strings are read as empty
    // text instead of dropping the logon. And a successful Tree Connect response whose UID
    // has no conversation (its logon was not captured or could not be read) rebuilds the
    // conversation as mid-stream pickup does, instead of dropping the tree.
    bool followUnreadLogons = false;
};

// Counters a host may read for its statistics.
struct SMBContextCounters {
    uint64_t oversizeDrops = 0;   // messages dropped for exceeding maxMessageBytes
    uint64_t pendingEvicted = 0;  // pending requests dropped by maxPendingRequests
};

// What the Negotiate exchange taught the context, and the resynchronisation flags.
struct _smbConnState {
    std::string m_dialect;
    uint32_t m_secMode = 0;  // 0: raw NTLMSSP security blobs; 1: SPNEGO tokens
    std::string m_serverName;
    bool m_bResyncReq = false;
    bool m_bResyncRsp = false;
};

class CSMBContext {
public:
    CSMBContext();
    ~CSMBContext();
    CSMBContext(const CSMBContext&) = delete;
    CSMBContext& operator=(const CSMBContext&) = delete;

    bool Init(CSMBOutPut* pOutPut, _addrInfo& addr, CConfigTemplate* pConfig);
    int Proccess(char* data, int len, bool bReq, int, CTimeStamp32& time, bool bResync);
    int CheckTimeOut(const CTimeStamp32& now);

    // True when the direction holds a whole message that a Proccess call with an empty
    // chunk would handle. Never true while the direction waits for a message boundary, so
    // the drain loop above always ends.
    bool HasBufferedMessage(bool bReq) const;
    // Seconds a request may wait for its response before CheckTimeOut drops it.
    void SetPendingTimeOut(uint32_t seconds) { m_config.m_timeOut = seconds; }
    void SetOptions(const SMBContextOptions& options) { m_options = options; }
    const SMBContextOptions& Options() const { return m_options; }
    const SMBContextCounters& Counters() const { return m_counters; }
    // Bytes of buffer storage held by both directions (for a host's memory accounting).
    size_t BufferedBytes() const { return m_reqBuf.Footprint() + m_rspBuf.Footprint(); }
    const _addrInfo& AddrInfo() const { return m_addrInfo; }
    // An opaque pointer for the host (for example its connection record), never read.
    void SetUserData(void* p) { m_pUserData = p; }
    void* GetUserData() const { return m_pUserData; }

    static const unsigned char m_stampStr[4];

private:
    friend class SMBContextTestPeer;

    // Stream intake and dispatch.
    int Close();
    int DecodeNBTMsg(CPktContext* ctx, int offset);
    int DecodeSMBMsg(CPktContext* ctx, int offset);
    int ProccessSMBCommand(CPktContext* ctx, int offset);
    int PassThroughAndX(CPktContext* ctx, int offset);

    int DecodeCreateDirMsg(CPktContext* ctx, int offset);
    int DecodeDeleteDirMsg(CPktContext* ctx, int offset);
    int DecodeCloseMsg(CPktContext* ctx, int offset);
    int DecodeDeleteFileMsg(CPktContext* ctx, int offset);
    int DecodeRenameMsg(CPktContext* ctx, int offset);
    int DecodeReadMsg(CPktContext* ctx, int offset);
    int DecodeReadRawMsg(CPktContext* ctx, int offset);
    int DecodeTransMsg(CPktContext* ctx, int offset);
    int DecodeOpenAndXMsg(CPktContext* ctx, int offset);
    int DecodeReadAndXMsg(CPktContext* ctx, int offset);
    int DecodeWriteMsg(CPktContext* ctx, int offset);
    int DecodeTrans2Msg(CPktContext* ctx, int offset);
    int DecodeTrDisMsg(CPktContext* ctx, int offset);
    int DecodeNegoMsg(CPktContext* ctx, int offset);
    int DecodeSetupMsg(CPktContext* ctx, int offset);
    int DecodeLogoffMsg(CPktContext* ctx, int offset);
    int DecodeTconMsg(CPktContext* ctx, int offset);
    int DecodeNTCreateMsg(CPktContext* ctx, int offset);

    // AndX chaining: the command behind an AndX block, run through the dispatcher again.
    struct AndXLink {
        CPktContext chain;  // copy of the command's record, m_cmd set to the chained command
        int from = 0;       // offset of the block the link was read from
        int next = 0;       // offset of the chained block's WordCount byte; 0: none
        bool Active() const { return next != 0; }
    };
    static AndXLink ReadAndX(const CPktContext* ctx, const SmbBlock& block, int offset);
    // Runs the chained command, unless the link is inactive or the chain fails to advance
    // or grows too long. Returns the chained result, or 0 when nothing ran.
    int FollowAndX(AndXLink& link);

    // Session establishment.
    int ProcessNegoReq(CPktContext* ctx, int offset);
    int ProcessNegoRsp(CPktContext* ctx, int offset);
    int ProcessSetupReq(CPktContext* ctx, int offset);
    int ProcessSetupRsp(CPktContext* ctx, int offset);
    int ProcessNTLMSSP(CSILogon* logon, char* message, unsigned short length);
    int ReadNtlmChallenge(CSILogon* logon, char* message, unsigned short length);
    int ReadNtlmAuthenticate(CSILogon* logon, char* message, unsigned short length);
    int ProcessGSSAPI(CSILogon* logon, char* token, unsigned short length);
    int ProcessSPNEGO(CSILogon* logon, char* token, unsigned short length);
    int ProcessNegoTokenTarg(CSILogon* logon, char* token, unsigned short length);
    int ProcessTconReq(CPktContext* ctx, int offset);
    int ProcessTconRsp(CPktContext* ctx, int offset);
    int ProcessLogoffReq(CPktContext* ctx, int offset);
    int ProcessLogoffRsp(CPktContext* ctx, int offset);
    int ProcessTrDisReq(CPktContext* ctx, int offset);
    int ProcessTrDisRsp(CPktContext* ctx, int offset);

    // File operations.
    int ProcessNTCreateReq(CPktContext* ctx, int offset);
    int ProcessNTCreateRsp(CPktContext* ctx, int offset);
    int ProcessOpenAndXReq(CPktContext* ctx, int offset);
    int ProcessOpenAndXRsp(CPktContext* ctx, int offset);
    int ProcessReadAndXReq(CPktContext* ctx, int offset);
    int ProcessReadAndXRsp(CPktContext* ctx, int offset);
    int ProcessReadReq(CPktContext* ctx, int offset);
    int ProcessReadRsp(CPktContext* ctx, int offset);
    int ProcessReadRawReq(CPktContext* ctx, int offset);
    int ProcessWriteReq(CPktContext* ctx, int offset);
    int ProcessWriteRsp(CPktContext* ctx, int offset);
    int ProcessCloseReq(CPktContext* ctx, int offset);
    int ProcessCloseRsp(CPktContext* ctx, int offset);
    int ProcessCreateDirReq(CPktContext* ctx, int offset);
    int ProcessCreateDirRsp(CPktContext* ctx, int offset);
    int ProcessDeleteDirReq(CPktContext* ctx, int offset);
    int ProcessDeleteDirRsp(CPktContext* ctx, int offset);
    int ProcessDeleteFileReq(CPktContext* ctx, int offset);
    int ProcessDeleteFileRsp(CPktContext* ctx, int offset);
    int ProcessRenameReq(CPktContext* ctx, int offset);
    int ProcessRenameRsp(CPktContext* ctx, int offset);
    int ProcessTrans2Req(CPktContext* ctx, int offset);
    int ProcessTrans2Rsp(CPktContext* ctx, int offset);
    int ProcessTrans2(CPktContext* ctx, CSITrans2*& saved);
    int ProcessTransReq(CPktContext* ctx, int offset);
    int ProcessTransRsp(CPktContext* ctx, int offset);

    // Shared by the create-like responses (fileops/create_common.cc): the response time,
    // status, and conversation and tree (rebuilt first when `reconstruct`) of any event;
    // the rest of an NT Create AndX / Open AndX response (file object, event, chain).
    void CompleteRspEvent(const CPktContext* ctx, CEventParaBase* event, bool reconstruct);
    // Reads the granted FID, create action, size and type of a create response into the
    // event and returns the FID.
    using GrantedFieldsReader = uint16_t (*)(const SmbBlock& block, CCreateEvent& event);
    int ProcessCreateRsp(CPktContext* ctx, int offset, const SmbBlock& block, uint8_t minWords, bool sessionOnError,
                         GrantedFieldsReader readGranted);
    // Shared by the read and write handlers (fileops/file_data.cc): named-pipe payload to
    // HandleRPC (SMB_RET_PIPE_DATA), anything else as the event (SMB_RET_FILE_CMD).
    int ReportFileData(CEventParaBase* event, _smbFileObj* file, const uint8_t* data, uint64_t len,
                       CTimeStamp32& time);

    // Pending request table.
    void PutSavedInfo(uint64_t key, CSavedInfoBase* record);
    CSavedInfoBase* TakeSavedInfo(uint64_t key);
    // Files the request time of the request just filed under `key` in m_pendingAge.
    void NoteAge(uint64_t key, const CSavedInfoBase* record);

    // Session records: lookups treat an identifier mapped to no record as absent.
    _smbConvers* FindConvers(uint16_t uid) const;
    _smbResrcTree* FindResTree(uint16_t tid) const;
    _smbFileObj* FindFileObj(uint16_t fid) const;
    // Files `tree` under `tid`, linked to the conversation of `uid` (when there is one),
    // releasing whatever was filed there before.
    void FileResTree(_smbResrcTree* tree, uint16_t tid, uint16_t uid);
    // Files `file` under `fid`, linked to the tree of `tid` (when there is one), releasing
    // whatever was filed there before.
    void FileFileObj(_smbFileObj* file, uint16_t fid, uint16_t tid);

    // Mid-stream reconstruction.
    int ConstructFakeConv(unsigned short uid);
    int ConstructFakeTreeRes(unsigned short uid, unsigned short tid);
    // Rebuilds the conversation of ctx's UID and the tree of its TID when missing.
    void ReconstructSession(const CPktContext* ctx);

    // Release and expiry.
    int ReleaseConver(unsigned short uid);
    int ReleaseResTree(unsigned short tid);
    int ReleaseFileObj(unsigned short fid);

    // Hands an event to the sink.
    void Emit(CEventParaBase* event);

    std::map<uint64_t, CSavedInfoBase*> m_savedInfo;
    // (request time in microseconds, key) of the pending requests, a min-heap that finds the
    // oldest when maxPendingRequests evicts. Entries of requests taken, expired or replaced
    // since are skipped when they come to the top, and dropped by a rebuild when they
    // outnumber the live ones.
    std::vector<std::pair<uint64_t, uint64_t>> m_pendingAge;
    std::map<int, _smbConvers*> m_convers;
    std::map<int, _smbResrcTree*> m_resTrees;
    std::map<int, _smbFileObj*> m_fileObjs;
    _addrInfo m_addrInfo;
    bool m_bPort445 = true;
    _smbConnState m_connState;
    CBufferManager m_reqBuf;
    CBufferManager m_rspBuf;
    CConfigTemplate m_config;
    CSMBOutPut* m_pOutPut = nullptr;

    SMBContextOptions m_options;
    SMBContextCounters m_counters;
    void* m_pUserData = nullptr;
};
