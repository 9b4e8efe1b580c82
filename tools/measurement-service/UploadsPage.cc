#include "tools/measurement-service/UploadsPage.h"

#include <algorithm>

namespace measurement_service {

namespace {

const char* escapedCharacter(char c) {
  switch (c) {
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '&':
      return "&amp;";
    case '"':
      return "&quot;";
    case '\0':
      // Browsers drop a NUL, or show it as the replacement character: shown as its symbol
      // (U+2400) instead, so that a name holding one reads as it is.
      return "\u2400";
    default:
      return nullptr;
  }
}

size_t escapedSize(char c) {
  const char* escaped = escapedCharacter(c);
  return escaped ? std::char_traits<char>::length(escaped) : 1;
}

// 1048000 as "1,048,000".
std::string withThousands(int64_t number) {
  std::string digits = std::to_string(number);
  for (size_t at = digits.size(); at > 3 && digits[at - 4] != '-'; at -= 3)
    digits.insert(at - 3, ",");
  return digits;
}

}  // namespace

UploadsPage::UploadsPage(size_t maxBytes) : maxBytes_(maxBytes) {
  html_ =
      "<!doctype html><meta charset=utf-8><title>Measurement service</title>"
      "<h1>Uploads received</h1><p>Newest first; reload to update. "
      "<a href=\"/uploads.json\">JSON</a> "
      "<a href=\"/experiments\">Experiment requests</a></p>";
}

bool UploadsPage::add(const UploadStore::UploadSummaryRow& upload) {
  // The room left, with the link that ends the page.
  const size_t room = maxBytes_ - std::min(maxBytes_, html_.size() + kFinishBytes);
  std::string section = "<h2>Upload " + std::to_string(upload.id) + " (" +
                        std::to_string(upload.size) + " bytes)</h2>";
  if (upload.error) section += "<p>Not decoded: " + shownText(*upload.error) + "</p>";
  size_t shown = 0;
  for (const UploadStore::BundleSummary& bundle : upload.bundles) {
    std::string html = bundleHtml(bundle);
    if (section.size() + html.size() + kCutNoteBytes > room) {
      if (count_ > 0) return false;
      break;  // the first upload is shown cut: the page still leads on past it
    }
    section += html;
    ++shown;
  }
  if (upload.bundleCount > static_cast<int64_t>(shown)) {
    section += "<p>... and " + std::to_string(upload.bundleCount - static_cast<int64_t>(shown)) +
               " more bundles (in /uploads.json and uploads.sqlite)</p>";
  }
  if (count_ > 0 && section.size() > room) return false;
  html_ += section;
  ++count_;
  return shown == upload.bundles.size();
}

std::string UploadsPage::finish(int64_t before) && {
  if (before != 0) {
    html_ += "<p><a href=\"/?before=" + std::to_string(before) + "\">Older uploads</a></p>";
  }
  return std::move(html_);
}

std::string UploadsPage::bundleHtml(const UploadStore::BundleSummary& bundle) {
  std::string html = "<details><summary>app ";
  html += bundle.appID.text.empty() ? "?" : shownText(bundle.appID);
  html += ", bundle index " + std::to_string(bundle.bundleIndex) + ", " +
          std::to_string(bundle.eventCount) + (bundle.eventCount == 1 ? " event" : " events") +
          (bundle.repeated ? " <b>(repeated)</b>" : "") + ": ";
  for (const UploadStore::TextStart& name : bundle.eventNames) html += shownText(name) + " ";
  if (bundle.eventCount > static_cast<int64_t>(bundle.eventNames.size())) html += "...";
  return html + "</summary><pre>" + bundleText(bundle) + "</pre></details>";
}

std::string UploadsPage::bundleText(const UploadStore::BundleSummary& bundle) {
  std::string out;
  if (!bundle.jsonCut) {
    if (std::optional<std::string> indented = indentedJson(bundle.json, kMaxBundleTextBytes);
        indented && appendEscaped(out, *indented, kMaxBundleTextBytes)) {
      return out;
    }
    out.clear();
    if (appendEscaped(out, bundle.json, kMaxBundleTextBytes)) return out;
    out.clear();
  }
  appendEscaped(out, bundle.json, kMaxBundleTextBytes);
  return out + "\n... (cut; the whole bundle is in /uploads.json and uploads.sqlite)";
}

std::string UploadsPage::shownText(const UploadStore::TextStart& text) {
  std::string out;
  appendEscaped(out, text.text, text.text.size() * 6);
  if (text.cut) out += "\u2026 (" + withThousands(text.characters) + " characters)";
  return out;
}

std::optional<std::string> UploadsPage::indentedJson(std::string_view compact, size_t maxBytes) {
  std::string out;
  size_t depth = 0;
  auto newline = [&] {
    out += '\n';
    out.append(2 * depth, ' ');
  };
  for (size_t at = 0; at < compact.size(); ++at) {
    const char c = compact[at];
    switch (c) {
      case '"': {
        size_t end = at + 1;
        while (end < compact.size() && compact[end] != '"') end += compact[end] == '\\' ? 2 : 1;
        end = std::min(end + 1, compact.size());
        out.append(compact.substr(at, end - at));
        at = end - 1;
        break;
      }
      case '{':
      case '[':
        out += c;
        if (at + 1 < compact.size() && compact[at + 1] == (c == '{' ? '}' : ']')) {
          out += compact[++at];  // empty, as dump(2) writes it: on one line
        } else {
          ++depth;
          newline();
        }
        break;
      case '}':
      case ']':
        depth -= depth > 0 ? 1 : 0;
        newline();
        out += c;
        break;
      case ',':
        out += c;
        newline();
        break;
      case ':':
        out += ": ";
        break;
      default:
        out += c;
    }
    if (out.size() > maxBytes) return std::nullopt;
  }
  return out;
}

bool UploadsPage::appendEscaped(std::string& out, std::string_view text, size_t maxBytes) {
  size_t bytes = 0;
  size_t end = 0;  // of the text that fits
  while (end < text.size() && bytes + escapedSize(text[end]) <= maxBytes) {
    bytes += escapedSize(text[end++]);
  }
  const bool whole = end == text.size();
  // A cut leaves out the whole character it falls in.
  while (!whole && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  out.reserve(out.size() + bytes);
  for (char c : text.substr(0, end)) {
    if (const char* escaped = escapedCharacter(c)) {
      out += escaped;
    } else {
      out += c;
    }
  }
  return whole;
}

}  // namespace measurement_service
