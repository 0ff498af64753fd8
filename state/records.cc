#include "state/records.h"

#include "state/saved_info.h"

_smbConvers::~_smbConvers() { delete m_pLogon; }
