#include "ReportText.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>

#include "uQORException.h"

namespace qor {

QOR_DECLARE_EXCEPTION(EInOutError, Exception);

namespace {

std::string Pad(long long AValue, int AWidth) {
  std::string s = std::to_string(AValue);
  if (static_cast<int>(s.size()) < AWidth) s.insert(0, static_cast<size_t>(AWidth) - s.size(), '0');
  return s;
}

// Length of the valid UTF-8 sequence at AText[APos], or 0 when there is none.
size_t Utf8SequenceLength(std::string_view AText, size_t APos) {
  const auto b0 = static_cast<unsigned char>(AText[APos]);
  size_t len;
  uint32_t cp;
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
  return len;
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

std::string LatexEscape(std::string_view AText) {
  std::string out;
  out.reserve(AText.size() + 16);
  for (char c : AText) {
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
      case '\n':
      case '\r':
      case '\t': out += ' '; break;
      default:
        // Other control characters would stop pdflatex; show their code instead.
        if (static_cast<unsigned char>(c) < 0x20) {
          static const char* const kHex = "0123456789ABCDEF";
          out += "\\textbackslash{}x";
          out += kHex[(c >> 4) & 0x0F];
          out += kHex[c & 0x0F];
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string XmlSafeText(std::string_view AText) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(AText.size());
  for (size_t i = 0; i < AText.size();) {
    const auto b = static_cast<unsigned char>(AText[i]);
    if (b < 0x20 && b != '\t' && b != '\n' && b != '\r') {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
      ++i;
      continue;
    }
    const size_t len = Utf8SequenceLength(AText, i);
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
