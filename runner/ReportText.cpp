#include "ReportText.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>

#include "uQORExceptionClass.h"

namespace qor {

QOR_DECLARE_EXCEPTION(EInOutError, Exception);

namespace {

std::string Pad(long long AValue, int AWidth) {
  std::string s = std::to_string(AValue);
  if (static_cast<int>(s.size()) < AWidth) s.insert(0, static_cast<size_t>(AWidth) - s.size(), '0');
  return s;
}

// Length of the valid UTF-8 sequence at AText[APos], or 0 when there is
// none; ACodePoint receives the character it encodes.
size_t Utf8SequenceLength(std::string_view AText, size_t APos, uint32_t& ACodePoint) {
  const auto b0 = static_cast<unsigned char>(AText[APos]);
  size_t len;
  uint32_t cp;
  ACodePoint = b0;
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (APos + len > AText.size()) return 0;
  for (size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(AText[APos + i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
  const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
  // U+FFFE and U+FFFF are not XML characters either.
  if (overlong || surrogate || cp > 0x10FFFF || cp == 0xFFFE || cp == 0xFFFF) return 0;
  ACodePoint = cp;
  return len;
}

void AppendHex(std::string& AOut, uint32_t AValue, int ADigits) {
  static const char* const kHex = "0123456789ABCDEF";
  for (int shift = 4 * (ADigits - 1); shift >= 0; shift -= 4) AOut += kHex[(AValue >> shift) & 0x0F];
}

}  // namespace

std::string FormatElapsedXML(TClock::duration AElapsed) {
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(AElapsed).count();
  return Pad(ms / 3600000, 2) + ":" + Pad(ms / 60000 % 60, 2) + ":" + Pad(ms / 1000 % 60, 2) + "." +
         Pad(ms % 1000, 3);
}

std::string FormatElapsedPlain(TClock::duration AElapsed) {
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(AElapsed).count();
  const long long minutes = ms / 60000;
  const std::string millis = "." + Pad(ms % 1000, 3);
  if (minutes >= 61)
    return Pad(ms / 3600000, 2) + ":" + Pad(minutes % 60, 2) + ":" + Pad(ms / 1000 % 60, 2) + millis;
  if (minutes >= 2) return Pad(minutes, 2) + ":" + Pad(ms / 1000 % 60, 2) + millis;
  return Pad(ms / 1000, 2) + millis;
}

std::string FormatDateTime(std::chrono::system_clock::time_point ATime) {
  const std::time_t t = std::chrono::system_clock::to_time_t(ATime);
  std::tm local{};
  localtime_r(&t, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  return buf;
}

namespace {

// The code points from U+00A0 to U+017F that the report's default fonts
// (pdflatex, OT1 encoding) have no glyph or accent composite for: pdflatex
// stops on them, so they are written like any character beyond that range.
bool LatexCanPrint(uint32_t ACodePoint) {
  static constexpr uint16_t kMissing[] = {0xAB,  0xBB,  0xD0,  0xDE,  0xF0,  0xFE,  0x104,
                                          0x105, 0x110, 0x111, 0x118, 0x119, 0x126, 0x127,
                                          0x12E, 0x12F, 0x138, 0x13F, 0x140, 0x149, 0x14A,
                                          0x14B, 0x166, 0x167, 0x172, 0x173, 0x17F};
  if (ACodePoint < 0xA0 || ACodePoint > 0x17F) return false;
  for (const uint16_t m : kMissing)
    if (m == ACodePoint) return false;
  return true;
}

// pdflatex reads at most 200 000 characters per source line and holds a
// paragraph in a fixed memory: long texts are cut and spread over lines.
constexpr size_t kLatexMaxText = 64 * 1024;
constexpr size_t kLatexLineLength = 1000;

}  // namespace

std::string LatexEscape(std::string_view AText) {
  const size_t total = AText.size();
  if (total > kLatexMaxText) {
    // Never in the middle of a UTF-8 sequence: its tail would count as invalid.
    size_t keep = kLatexMaxText;
    while (keep > 0 && (static_cast<unsigned char>(AText[keep]) & 0xC0) == 0x80) --keep;
    AText = AText.substr(0, keep);
  }
  std::string out;
  out.reserve(AText.size() + 16);
  size_t lineStart = 0;
  for (size_t i = 0; i < AText.size();) {
    const char c = AText[i];
    // A comment sign ends a source line without adding a space; the line
    // break is put only where no space follows, as TeX drops spaces at the
    // start of a line.
    if (out.size() - lineStart >= kLatexLineLength && c != ' ' && c != '\n' && c != '\r' && c != '\t') {
      out += "%\n";
      lineStart = out.size();
    }
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x80) {
      uint32_t cp;
      const size_t len = Utf8SequenceLength(AText, i, cp);
      if (len == 0) cp = 0xFFFD;
      if (LatexCanPrint(cp)) {
        out.append(AText.substr(i, len));
      } else {
        // Invalid bytes become U+FFFD, as in the XML report; what the fonts
        // cannot print is shown by its code point.
        out += "{[}U+";
        AppendHex(out, cp, cp > 0xFFFFF ? 6 : cp > 0xFFFF ? 5 : 4);
        out += "{]}";
      }
      i += len == 0 ? 1 : len;
      continue;
    }
    ++i;
    switch (c) {
      case '\\': out += "\\textbackslash{}"; break;
      case '{': out += "\\{"; break;
      case '}': out += "\\}"; break;
      case '$': out += "\\$"; break;
      case '&': out += "\\&"; break;
      case '#': out += "\\#"; break;
      case '%': out += "\\%"; break;
      case '_': out += "\\_"; break;
      case '^': out += "\\textasciicircum{}"; break;
      case '~': out += "\\textasciitilde{}"; break;
      case '<': out += "\\textless{}"; break;
      case '>': out += "\\textgreater{}"; break;
      case '|': out += "\\textbar{}"; break;
      case '"': out += "\\texttt{\\char34}"; break;
      // Brackets right after \item would be read as its label.
      case '[': out += "{[}"; break;
      case ']': out += "{]}"; break;
      case '\n':
      case '\r':
      case '\t': out += ' '; break;
      default:
        // Other control characters (and DEL) would stop pdflatex; show their code instead.
        if (b < 0x20 || b == 0x7F) {
          out += "\\textbackslash{}x";
          AppendHex(out, b, 2);
        } else {
          out += c;
        }
    }
  }
  if (total > AText.size()) out += " {[}" + std::to_string(total - AText.size()) + " more bytes{]}";
  return out;
}

std::string XmlSafeText(std::string_view AText) {
  std::string out;
  out.reserve(AText.size());
  for (size_t i = 0; i < AText.size();) {
    const auto b = static_cast<unsigned char>(AText[i]);
    if (b < 0x20 && b != '\t' && b != '\n' && b != '\r') {
      out += "\\x";
      AppendHex(out, b, 2);
      ++i;
      continue;
    }
    uint32_t cp;
    const size_t len = Utf8SequenceLength(AText, i, cp);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(AText.substr(i, len));
      i += len;
    }
  }
  return out;
}

void WriteReportText(const std::string& AFileName, const std::string& AText) {
  if (AFileName.empty()) {
    std::cout << AText << std::flush;
    return;
  }
  std::ofstream out(AFileName, std::ios::binary | std::ios::trunc);
  if (!out) throw EInOutError("Unable to create file \"" + AFileName + "\": " + std::strerror(errno));
  out << AText;
  out.close();
  if (!out) throw EInOutError("Unable to write file \"" + AFileName + "\": " + std::strerror(errno));
}

}  // namespace qor
