#pragma once
// Where a label goes: raw ZPL to a label printer's TCP port, or a file to the print
// spooler (lp) for office printers.
#include <cstdint>
#include <string>

class Network;

inline constexpr uint16_t kLabelPrinterPort = 9100;
inline constexpr size_t kMaxZplBytes = 256 * 1024;

// "a.b.c.d" or "a.b.c.d:port" (the port defaults to kLabelPrinterPort). False with
// *error when it is neither.
bool ParsePrinterAddress(const std::string& text, uint32_t* ip, uint16_t* port, std::string* error);

// Connects to the printer (waiting at most connectTimeoutMs) and sends zpl, waiting at
// most writeTimeoutMs in all for the printer to take it. True with *message ("sent N
// bytes to ..."), or false with *message telling what failed.
bool SendZpl(Network& net, const std::string& printer, const std::string& zpl,
             uint32_t connectTimeoutMs, uint32_t writeTimeoutMs, std::string* message);

// Runs `lp -d dest file` (lpProgram in place of "lp" when given), waiting at most
// timeoutMs. True with *message (the spooler's answer, the request id), or false with
// *message: a destination or file name that could be read as an option, no spooler
// program, a time-out, or the spooler's refusal with its text.
bool PrintWithLp(const std::string& dest, const std::string& file, uint32_t timeoutMs,
                 std::string* message, const std::string& lpProgram = "lp");
