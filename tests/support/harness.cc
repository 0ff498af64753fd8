#include "support/harness.h"

#include <sstream>

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out.push_back(c < 0x100 ? char(c) : '?');
    return out;
}

std::string RecordedEvent::Fields(const std::string& names) const {
    static const char* const kTypes[] = {"logon", "logoff", "tcon", "tdis", "create",
                                         "close", "read", "write", "delete", "rename"};
    std::istringstream in(names);
    std::ostringstream out;
    std::string k;
    for (bool first = true; in >> k; first = false) {
        if (!first) out << '|';
        if (k == "type") out << kTypes[type];
        else if (k == "status") out << std::hex << status << std::dec;
        else if (k == "uid") out << uid;
        else if (k == "tid") out << tid;
        else if (k == "fid") out << fid;
        else if (k == "req") out << reqTime.m_sec;
        else if (k == "rsp") out << rspTime.m_sec;
        else if (text.count(k)) out << text.at(k);
        else if (num.count(k)) out << num.at(k);
        else out << '?' << k;
    }
    return out.str();
}

std::string RecordingSink::Log(const std::string& names) const {
    std::string out;
    for (const RecordedEvent& e : events) out += (out.empty() ? "" : ";") + e.Fields(names);
    return out;
}

void RecordingSink::HandleEvent(CSMBContext*, CEventParaBase* ev) {
    RecordedEvent r{ev->m_eventType, ev->m_status, ev->m_reqTime, ev->m_rspTime,
                    ev->m_pConvers, ev->m_pResTree, ev->m_pFileObj, -1, -1, -1, {}, {}, {}};
    if (ev->m_pConvers) r.uid = ev->m_pConvers->m_uid;
    if (ev->m_pResTree) r.tid = ev->m_pResTree->m_tid;
    if (ev->m_pFileObj) r.fid = ev->m_pFileObj->m_fid;
    switch (ev->m_eventType) {
        case SMB_EVT_LOGON: {
            auto* e = static_cast<CLogonEvent*>(ev);
            r.text = {{"user", e->m_userName}, {"password", e->m_password}, {"dialect", e->m_dialect},
                      {"workstation", e->m_workstation}, {"domain", e->m_domain}, {"server_name", e->m_serverName},
                      {"server_domain", e->m_serverDomain}, {"client_os", e->m_clientOS},
                      {"server_os", e->m_serverOS}, {"lan_manager", e->m_lanManager}};
            r.num = {{"auth", e->m_authType}};
            break;
        }
        case SMB_EVT_LOGOFF:
            r.text = {{"user", static_cast<CLogOffEvent*>(ev)->m_userName}};
            break;
        case SMB_EVT_TREE_CONNECT: {
            auto* e = static_cast<CTreeConEvent*>(ev);
            r.text = {{"share", Narrow(e->m_share)}, {"server", Narrow(e->m_server)}, {"service", e->m_service},
                      {"password", e->m_password}};
            r.num = {{"tree_type", e->m_treeType}};
            break;
        }
        case SMB_EVT_TREE_DISCONNECT: {
            auto* e = static_cast<CTreeDisConEvent*>(ev);
            r.text = {{"share", Narrow(e->m_share)}, {"server", Narrow(e->m_server)}, {"service", e->m_service}};
            r.num = {{"tree_type", e->m_treeType}};
            break;
        }
        case SMB_EVT_CREATE: {
            auto* e = static_cast<CCreateEvent*>(ev);
            r.text = {{"file", Narrow(e->m_fileName)}};
            r.num = {{"file_type", e->m_fileType}, {"disposition", e->m_disposition},
                     {"create_action", e->m_createAction}, {"file_size", e->m_fileSize}};
            break;
        }
        case SMB_EVT_CLOSE: {
            auto* e = static_cast<CCloseEvent*>(ev);
            r.text = {{"file", Narrow(e->m_fileName)}};
            r.num = {{"file_type", e->m_fileType}};
            break;
        }
        case SMB_EVT_READ: {
            auto* e = static_cast<CReadEvent*>(ev);
            r.text = {{"file", Narrow(e->m_fileName)}};
            r.num = {{"file_type", e->m_fileType}, {"offset", e->m_offset}, {"count", e->m_count},
                     {"data_len", e->m_dataLen}};
            if (e->m_pData) r.data.assign(e->m_pData, e->m_pData + e->m_dataLen);
            break;
        }
        case SMB_EVT_WRITE: {
            auto* e = static_cast<CWriteEvent*>(ev);
            r.text = {{"file", Narrow(e->m_fileName)}};
            r.num = {{"file_type", e->m_fileType}, {"offset", e->m_offset}, {"data_len", e->m_dataLen}};
            if (e->m_pData) r.data.assign(e->m_pData, e->m_pData + e->m_dataLen);
            break;
        }
        case SMB_EVT_DELETE: {
            auto* e = static_cast<CDeleteEvent*>(ev);
            r.text = {{"file", Narrow(e->m_fileName)}};
            r.num = {{"file_type", e->m_fileType}};
            break;
        }
        case SMB_EVT_RENAME: {
            auto* e = static_cast<CRenameEvent*>(ev);
            r.text = {{"old_name", Narrow(e->m_oldName)}, {"new_name", Narrow(e->m_newName)}};
            break;
        }
    }
    events.push_back(std::move(r));
}

void RecordingSink::HandleRPC(_smbFileObj* file, const char* data, size_t len, CTimeStamp32& time) {
    RecordedRpc r{file, file ? file->m_fid : -1, {}, time};
    if (len) r.data.assign(reinterpret_cast<const uint8_t*>(data), reinterpret_cast<const uint8_t*>(data) + len);
    rpcs.push_back(std::move(r));
}

_smbConvers* SMBContextTestPeer::AddConv(uint16_t uid) {
    auto* c = new _smbConvers;
    c->m_uid = uid;
    m_c.m_convers[uid] = c;
    return c;
}

_smbResrcTree* SMBContextTestPeer::AddTree(uint16_t uid, uint16_t tid, const std::u16string& share, uint32_t type) {
    auto* t = new _smbResrcTree;
    t->m_share = share;
    t->m_treeType = type;
    m_c.FileResTree(t, tid, uid);
    return t;
}

_smbFileObj* SMBContextTestPeer::AddFile(uint16_t tid, uint16_t fid, const std::u16string& name, uint32_t type) {
    auto* f = new _smbFileObj;
    f->m_fileName = name;
    f->m_fileType = type;
    m_c.FileFileObj(f, fid, tid);
    return f;
}

Conn::Conn(uint16_t serverPort) {
    _addrInfo addr;
    addr.m_serverPort = serverPort;
    ctx.Init(&sink, addr, nullptr);
}

std::vector<int> Conn::Feed(const ByteVec& chunk, bool bReq, bool resync) {
    std::vector<int> results;
    results.push_back(Once(chunk, bReq, resync));
    while (ctx.HasBufferedMessage(bReq)) results.push_back(ctx.Proccess(nullptr, 0, bReq, 0, now, false));
    return results;
}

int Conn::Once(const ByteVec& chunk, bool bReq, bool resync) {
    return ctx.Proccess(reinterpret_cast<char*>(const_cast<uint8_t*>(chunk.data())), int(chunk.size()), bReq, 0, now,
                        resync);
}
