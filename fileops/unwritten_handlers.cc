// Handlers not written yet: each is removed from here as its command family lands.
#include "context/smb_context.h"

int CSMBContext::ProcessNTCreateReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessNTCreateRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessOpenAndXReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessOpenAndXRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessReadAndXReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessReadAndXRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessReadReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessReadRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessReadRawReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessWriteReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessWriteRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessCloseReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessCloseRsp(CPktContext*, int) { return 0; }
