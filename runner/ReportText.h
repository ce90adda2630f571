// Text helpers shared by the report writers: time formats, escaping for
// LaTeX and XML, and writing a finished report to a file or standard output.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace qor {

using TClock = std::chrono::steady_clock;

// "hh:nn:ss.zzz"; hours are not wrapped at 24.
std::string FormatElapsedXML(TClock::duration AElapsed);
// "ss.zzz", with "mm:" before it from 2 whole minutes on and "hh:mm:" from
// 61 whole minutes on. The leading field carries the overflow (90 s is
// "90.000"), so no time is ever shown shorter than it was.
std::string FormatElapsedPlain(TClock::duration AElapsed);
// Local time as "yyyy-mm-dd hh:nn:ss".
std::string FormatDateTime(std::chrono::system_clock::time_point ATime);

// Any text as LaTeX that pdflatex compiles with the report's fonts: special
// characters made literal, characters the fonts lack and invalid UTF-8
// (as U+FFFD) written as "[U+XXXX]", control characters as "\xNN"; a text
// over 64 KiB is cut, saying how much was left out.
std::string LatexEscape(std::string_view AText);
// Text that an XML 1.0 document can carry: invalid UTF-8 becomes U+FFFD and
// control characters other than tab, line feed and carriage return become
// "\xNN". Markup characters are left to the XML writer's own escaping.
std::string XmlSafeText(std::string_view AText);

// Writes AText to AFileName, or to standard output when AFileName is empty.
// Raises EInOutError when the file cannot be written.
void WriteReportText(const std::string& AFileName, const std::string& AText);

}  // namespace qor
