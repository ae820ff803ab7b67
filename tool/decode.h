// Text as modems send it, decoded to UTF-8: the GSM 7-bit alphabet packed or
// plain, UCS-2 and 8-bit data in hex (3GPP TS 23.038), chosen by the data
// coding scheme or by the text's shape; +CUSD: lines (3GPP TS 27.007 7.15)
// and text-mode message bodies (3GPP TS 27.005) rewritten with their text
// decoded; USSD codes packed into GSM 7-bit. Pure functions: no I/O, output
// into the caller's buffer, nothing stored past it.
#pragma once

#include <optional>
#include <span>
#include <string_view>

// How a text is encoded.
enum class charset {
    gsm7,  // GSM 7-bit default alphabet, septets packed into octets, in hex
    ucs2,  // UCS-2 (UTF-16 with surrogate pairs), four hex digits a unit
    data8, // 8-bit data, two hex digits an octet
    text,  // plain characters as the modem sent them (AT+CSCS="GSM", "IRA", ...)
};

// What a data coding scheme (3GPP TS 23.038) says of the text.
struct coding {
    charset set = charset::gsm7; // gsm7, ucs2 or data8
    bool language = false;       // the text starts with its language (ISO 639, two letters)
    bool compressed = false;     // compressed (3GPP TS 23.042): not decodable here
};

// A USSD or cell broadcast scheme (section 5): reserved values and -1 (none
// given) read as the GSM 7-bit default alphabet, as the standard asks.
coding ussd_coding(int dcs);
// A short message's scheme (section 4), as AT+CSDH=1 shows it; -1 as 0.
coding message_coding(int dcs);

// How a decoding (or packing) went.
enum class text_status {
    ok,
    truncated, // out was full: it holds what fit, whole characters only
    invalid,   // the text is not in that form (odd or bad hex, a lone surrogate,
               // a character the GSM alphabet lacks): see each function for
               // out; this outcome wins over truncated
};

struct text_result {
    text_status status = text_status::ok;
    int length = 0;              // bytes written to out
    charset used = charset::text; // the form the text was read as
};

// "gsm7", "ucs2", "8bit" or "text" (as --charset takes them).
std::optional<charset> charset_named(std::string_view name);

// The length of the well-formed UTF-8 sequence (RFC 3629: no overlong forms,
// no surrogates, nothing past U+10FFFF) at the start of bytes, or 0.
int utf8_length(std::string_view bytes);

// Decodes text, read as set, to UTF-8 in out. On invalid, out holds nothing
// useful. An out twice the size of text always suffices.
// - gsm7: packed hex (either case); a CR in the last septet that fills an
//   octet boundary (7 spare bits) is padding and dropped (TS 23.038
//   6.1.2.3.1); a real CR there is sent doubled, so one of the two stays.
// - ucs2: hex (either case) in units of four digits; surrogates must pair.
// - data8: hex octets (either case); printed as the octets themselves when
//   they are printable UTF-8 (ASCII included), otherwise the hex as it came,
//   since a byte dump of binary data is what a user can still read.
// - text: printable ASCII, CR and LF as they are; the other control bytes
//   and DEL as the GSM alphabet reads them (0x00 is "@", ESC starts an
//   extension character); well-formed UTF-8 as it is; any other byte as the
//   Latin-1 character of its value (AT+CSCS="8859-1").
// Characters of the GSM alphabet's extension table (TS 23.038 6.2.1.1) come
// after ESC; an unknown one reads as its default-alphabet character, ESC ESC
// and a last lone ESC as a space.
text_result decode_text(std::string_view text, charset set, std::span<char> out);

// The form a USSD text is read in: the scheme's, and where that cannot be
// right, the text's shape. Under a GSM 7-bit scheme (or none), hex digits of
// one case in an even number are UCS-2 when every unit is a GSM-alphabet
// character (a modem set to AT+CSCS="UCS2", gammu issue 358), else packed
// GSM 7-bit when they are not decimal digits alone and unpack into common
// characters, at most half of them outside ASCII; anything else is plain
// text. Under a UCS-2 or 8-bit scheme, text that is not hex is plain text
// (the modem converted it).
charset ussd_charset(std::string_view text, int dcs);

// Decodes a USSD text whose scheme is dcs (-1: none given) to UTF-8 in out,
// in the forced form or else in ussd_charset's; a language indication the
// scheme announces is dropped. On invalid, out holds nothing useful.
text_result decode_ussd(std::string_view text, int dcs, std::optional<charset> forced,
                        std::span<char> out);

// Packs text (ASCII or UTF-8 characters of the GSM alphabet and its
// extension table) into GSM 7-bit as upper-case hex, as AT+CUSD=1 takes a
// code for a modem that wants it packed: a CR fills 7 spare bits, and a last
// CR that ends on an octet boundary is doubled (TS 23.038 6.1.2.3.1).
// Invalid, with nothing useful in out, for a character the alphabet lacks
// (or bytes that are not UTF-8). An out of 4 bytes a byte of text, plus 2,
// always suffices.
text_result pack_gsm7(std::string_view text, std::span<char> out);

// The parts of a +CUSD: <m>[,"<str>"[,<dcs>]] line.
struct ussd_line {
    int status = -1;        // <m>: 0 done, 1 the network asks for a reply, 2..5 ended
    bool has_text = false;
    std::string_view text;  // <str> without its quotes, within the line
    int dcs = -1;           // -1 when none is given
};

// Parses line (a whole +CUSD: line without its CR LF; a line break inside
// the text is part of it). The text runs from the first quote to the last
// one, so quotes inside it survive. Nothing when line is no +CUSD: line.
std::optional<ussd_line> parse_ussd_line(std::string_view line);

// Writes line to out with its USSD text decoded (+CUSD: 0,"Hello!",15), the
// status and scheme as they were. A line without text, or that is no
// +CUSD: line, is copied as it is; on invalid, out holds the line as it came
// (as much as fits) so that the caller can print it and warn.
text_result rewrite_ussd_line(std::string_view line, std::optional<charset> forced,
                              std::span<char> out);

// Writes a text-mode message body (the line after a +CMGR:, +CMGL: or +CMT:
// header) to out, decoded when the header shows a UCS-2 or 8-bit scheme
// (AT+CSDH=1), when the header's address is UCS-2 hex (a modem set to
// AT+CSCS="UCS2" sends it so), or when the body's shape says UCS-2: hex
// digits of one case, a multiple of four, printable units (all below U+0100
// when the digits are decimal alone). Otherwise, and on invalid (a bad hex,
// a compressed text), out holds the body as it came, as much as fits.
text_result rewrite_message_body(std::string_view header, std::string_view body,
                                 std::optional<charset> forced, std::span<char> out);
