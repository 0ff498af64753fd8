// Conversion of wire text. SMB carries strings as 8-bit OEM text or UTF-16LE (Flags2 bit
// 15); NTLMSSP chooses by its own flags. Narrow results keep the low byte of code units up
// to U+00FF and write "?" for the rest; no code page is applied anywhere.
#pragma once

#include <cstdint>
#include <string>

// Longest converted text; longer text is cut there and followed by "...".
constexpr int kMaxConvertedChars = 256;

// Converts UTF-16LE text at block + offset to a NUL-terminated narrow string of at most
// 259 characters in a 260-byte buffer from ZELK::MyMemAlloc tagged "value_string", which the
// caller frees with ZELK::MyMemFree. Null only when that allocation fails.
//   consumed: in, when bounded, the most bytes the field may use; out, the bytes consumed
//             (a terminator counts but is not copied; a trailing odd byte of an unbounded
//             field counts too).
//   bounded:  true for counted fields (NTLMSSP), false for NUL-terminated SMB fields.
//   maxBytes: bytes available from offset to the end of the block.
char* UnicodeToAscii(const char* block, int offset, int& consumed, bool bounded, unsigned short maxBytes);

// UnicodeToAscii into a string; false when the buffer could not be allocated.
bool UnicodeToAsciiString(const char* block, int offset, int& consumed, bool bounded, unsigned short maxBytes,
                          std::string& out);

enum class SmbStringResult { Ok, Missing, Unterminated, NoMemory };

// Reads one NUL-terminated SMB string field at `pos` of a block of `blockLen` bytes (the
// block begins with its WordCount byte, which lies at an even offset from the SMB header, so
// Unicode text at an odd position is preceded by one pad byte). On success `next` is the
// position just after the field. A Unicode field without terminator ends at the block's
// end: its text is kept and `next` equals blockLen.
SmbStringResult ReadSmbString(const uint8_t* block, uint32_t blockLen, uint32_t pos, bool unicode, std::string& dest,
                              uint32_t& next);

// 8-bit wire text to UTF-16, byte by byte.
std::u16string WidenBytes(const uint8_t* p, size_t n);
std::u16string WidenBytes(const std::string& s);
// UTF-16LE wire bytes (n bytes; an odd trailing byte is dropped) to UTF-16 code units.
std::u16string ReadUtf16(const uint8_t* p, size_t n);
