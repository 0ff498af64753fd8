// Handlers not written yet: each is removed from here as its command family lands.
#include "context/smb_context.h"

int CSMBContext::ProcessNegoReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessNegoRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessSetupReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessSetupRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessTconReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessTconRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessLogoffReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessLogoffRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessTrDisReq(CPktContext*, int) { return 0; }
int CSMBContext::ProcessTrDisRsp(CPktContext*, int) { return 0; }
int CSMBContext::ProcessNTLMSSP(CSILogon*, char*, unsigned short) { return 0; }
int CSMBContext::ReadNtlmChallenge(CSILogon*, char*, unsigned short) { return 0; }
int CSMBContext::ReadNtlmAuthenticate(CSILogon*, char*, unsigned short) { return 0; }
int CSMBContext::ProcessGSSAPI(CSILogon*, char*, unsigned short) { return 0; }
int CSMBContext::ProcessSPNEGO(CSILogon*, char*, unsigned short) { return 0; }
int CSMBContext::ProcessNegoTokenTarg(CSILogon*, char*, unsigned short) { return 0; }
