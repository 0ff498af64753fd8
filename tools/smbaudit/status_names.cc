#include "tools/smbaudit/status_names.h"

#include <iterator>

namespace smbaudit {
namespace {

struct NamedCode {
    uint32_t code;
    const char* name;
};

// The NT status codes that SMB1 servers answer with most, by the names Windows and
// Wireshark give them.
constexpr NamedCode kNtStatusNames[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000103, "STATUS_PENDING"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0x80000006, "STATUS_NO_MORE_FILES"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000003, "STATUS_INVALID_INFO_CLASS"},
    {0xC0000008, "STATUS_INVALID_HANDLE"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    {0xC000000F, "STATUS_NO_SUCH_FILE"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000011, "STATUS_END_OF_FILE"},
    {0xC0000016, "STATUS_MORE_PROCESSING_REQUIRED"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC0000022, "STATUS_ACCESS_DENIED"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000033, "STATUS_OBJECT_NAME_INVALID"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000035, "STATUS_OBJECT_NAME_COLLISION"},
    {0xC0000039, "STATUS_OBJECT_PATH_INVALID"},
    {0xC000003A, "STATUS_OBJECT_PATH_NOT_FOUND"},
    {0xC000003B, "STATUS_OBJECT_PATH_SYNTAX_BAD"},
    {0xC0000043, "STATUS_SHARING_VIOLATION"},
    {0xC0000054, "STATUS_FILE_LOCK_CONFLICT"},
    {0xC0000055, "STATUS_LOCK_NOT_GRANTED"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC0000061, "STATUS_PRIVILEGE_NOT_HELD"},
    {0xC000006A, "STATUS_WRONG_PASSWORD"},
    {0xC000006D, "STATUS_LOGON_FAILURE"},
    {0xC000006E, "STATUS_ACCOUNT_RESTRICTION"},
    {0xC000006F, "STATUS_INVALID_LOGON_HOURS"},
    {0xC0000070, "STATUS_INVALID_WORKSTATION"},
    {0xC0000071, "STATUS_PASSWORD_EXPIRED"},
    {0xC0000072, "STATUS_ACCOUNT_DISABLED"},
    {0xC000007F, "STATUS_DISK_FULL"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC00000B0, "STATUS_PIPE_DISCONNECTED"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0xC00000BA, "STATUS_FILE_IS_A_DIRECTORY"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC00000BE, "STATUS_BAD_NETWORK_PATH"},
    {0xC00000C9, "STATUS_NETWORK_NAME_DELETED"},
    {0xC00000CA, "STATUS_NETWORK_ACCESS_DENIED"},
    {0xC00000CC, "STATUS_BAD_NETWORK_NAME"},
    {0xC00000D0, "STATUS_REQUEST_NOT_ACCEPTED"},
    {0xC0000101, "STATUS_DIRECTORY_NOT_EMPTY"},
    {0xC0000103, "STATUS_NOT_A_DIRECTORY"},
    {0xC0000120, "STATUS_CANCELLED"},
    {0xC0000121, "STATUS_CANNOT_DELETE"},
    {0xC0000128, "STATUS_FILE_CLOSED"},
    {0xC000014B, "STATUS_PIPE_BROKEN"},
    {0xC0000193, "STATUS_ACCOUNT_EXPIRED"},
    {0xC0000203, "STATUS_USER_SESSION_DELETED"},
    {0xC0000224, "STATUS_PASSWORD_MUST_CHANGE"},
    {0xC0000225, "STATUS_NOT_FOUND"},
    {0xC0000234, "STATUS_ACCOUNT_LOCKED_OUT"},
    {0xC0000257, "STATUS_PATH_NOT_COVERED"},
    {0xC00002F9, "STATUS_PKINIT_NAME_MISMATCH"},
};

// DOS error classes and the codes servers answer with in each, by the names of the CIFS
// documentation (MS-CIFS 2.2.2.4; ERRSRV 5, "invalid TID", by its older name ERRinvnid,
// which MS-CIFS gives as ERRinvtid).
constexpr NamedCode kErrDos[] = {
    {1, "ERRbadfunc"},      {2, "ERRbadfile"},       {3, "ERRbadpath"},     {4, "ERRnofids"},
    {5, "ERRnoaccess"},     {6, "ERRbadfid"},        {7, "ERRbadmcb"},      {8, "ERRnomem"},
    {9, "ERRbadmem"},       {10, "ERRbadenv"},       {11, "ERRbadformat"},  {12, "ERRbadaccess"},
    {13, "ERRbaddata"},     {15, "ERRbaddrive"},     {16, "ERRremcd"},      {17, "ERRdiffdevice"},
    {18, "ERRnofiles"},     {31, "ERRgeneral"},      {32, "ERRbadshare"},   {33, "ERRlock"},
    {38, "ERReof"},         {50, "ERRunsup"},        {80, "ERRfilexists"},  {87, "ERRinvalidparam"},
    {124, "ERRunknownlevel"}, {230, "ERRbadpipe"},   {231, "ERRpipebusy"},  {232, "ERRpipeclosing"},
    {233, "ERRnotconnected"}, {234, "ERRmoredata"},
};
constexpr NamedCode kErrSrv[] = {
    {1, "ERRerror"},          {2, "ERRbadpw"},        {4, "ERRaccess"},        {5, "ERRinvnid"},
    {6, "ERRinvnetname"},     {7, "ERRinvdevice"},    {49, "ERRqfull"},        {50, "ERRqtoobig"},
    {51, "ERRqeof"},          {52, "ERRinvpfid"},     {64, "ERRsmbcmd"},       {65, "ERRsrverror"},
    {67, "ERRfilespecs"},     {69, "ERRbadpermits"},  {71, "ERRsetattrmode"},  {81, "ERRpaused"},
    {82, "ERRmsgoff"},        {83, "ERRnoroom"},      {87, "ERRrmuns"},        {88, "ERRtimeout"},
    {89, "ERRnoresource"},    {90, "ERRtoomanyuids"}, {91, "ERRbaduid"},       {250, "ERRusempx"},
    {251, "ERRusestd"},       {252, "ERRcontmpx"},    {2239, "ERRaccountExpired"}, {2240, "ERRbadClient"},
    {2241, "ERRbadLogonTime"}, {2242, "ERRpasswordExpired"}, {0xFFFF, "ERRnosupport"},
};
constexpr NamedCode kErrHrd[] = {
    {19, "ERRnowrite"},   {20, "ERRbadunit"},  {21, "ERRnotready"},   {22, "ERRbadcmd"},
    {23, "ERRdata"},      {24, "ERRbadreq"},   {25, "ERRseek"},       {26, "ERRbadmedia"},
    {27, "ERRbadsector"}, {28, "ERRnopaper"},  {29, "ERRwrite"},      {30, "ERRread"},
    {31, "ERRgeneral"},   {32, "ERRbadshare"}, {33, "ERRlock"},       {34, "ERRwrongdisk"},
    {35, "ERRFCBUnavail"}, {36, "ERRsharebufexc"}, {39, "ERRdiskfull"},
};

struct ErrorClass {
    uint8_t code;
    const char* name;
    const NamedCode* codes;
    size_t count;
};

constexpr ErrorClass kErrorClasses[] = {
    {0x01, "ERRDOS", kErrDos, std::size(kErrDos)},
    {0x02, "ERRSRV", kErrSrv, std::size(kErrSrv)},
    {0x03, "ERRHRD", kErrHrd, std::size(kErrHrd)},
};

const char* Find(const NamedCode* codes, size_t count, uint32_t code) {
    for (size_t i = 0; i < count; ++i) {
        if (codes[i].code == code) return codes[i].name;
    }
    return nullptr;
}

}  // namespace

std::string StatusName(uint32_t status) {
    if (const char* name = Find(kNtStatusNames, std::size(kNtStatusNames), status)) return name;
    // A DOS error as the library composes it: the class in the top byte, the code in the low
    // 16 bits, the header's reserved byte (bits 16-23) zero. No NT status of the tables has
    // this form: NT errors carry the severity bits 0xC0 in their top byte.
    if ((status >> 16 & 0xFF) != 0) return {};
    for (const ErrorClass& cls : kErrorClasses) {
        if (cls.code != status >> 24) continue;
        if (const char* name = Find(cls.codes, cls.count, status & 0xFFFF)) return std::string(cls.name) + "/" + name;
    }
    return {};
}

}  // namespace smbaudit
