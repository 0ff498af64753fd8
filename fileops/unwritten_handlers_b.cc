// Handlers not written yet: each is removed from here as its command family lands.
#include "context/smb_context.h"

int CSMBContext::ProcessCreateDirReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessCreateDirRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessDeleteDirReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessDeleteDirRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessDeleteFileReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessDeleteFileRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessRenameReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessRenameRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessTrans2Req(CPktContext*, int) { return 0; }
int CSMBContext::ProcessTrans2Rsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessTransReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessTransRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessTrans2(CPktContext*, CSITrans2*&) { return 0; }
