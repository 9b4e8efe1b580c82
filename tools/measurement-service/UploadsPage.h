#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tools/measurement-service/UploadStore.h"

namespace measurement_service {

// The uploads page "/" as HTML, built an upload at a time within a bound in bytes. What a peer
// stored is shown in part when it is long: a name, an app id or an error past the bound it was
// read with (UploadStore::SummaryBounds) as its start and its whole length in characters, a
// bundle's JSON indented when that stays within kMaxBundleTextBytes, else compact, else cut.
// HTML escaping makes a character up to six bytes ("&quot;"; a NUL is shown as U+2400, three),
// which every bound here counts. Not thread-safe; one per answer.
class UploadsPage {
 public:
  // The whole page. Any one upload as UploadStore::summaries reads it with the page's bounds
  // fits in it (maxUploadBytes, checked where the bounds are chosen), so each page shows at
  // least one upload whole.
  static constexpr size_t kMaxBytes = size_t{4} << 20;
  // The escaped text of one bundle's JSON: what the 16 Ki characters the page reads of it take
  // at most escaped, so a bundle read whole is never cut. Indented, a bundle whose parameters
  // nest as the library's do (items, nine deep) takes at most about five bytes a character,
  // within this; denser JSON (runs of one-digit numbers or empty objects deep down) is shown
  // compact.
  static constexpr size_t kMaxBundleTextBytes = size_t{96} << 10;

  // The most an upload read within `bounds` adds to the page.
  static constexpr size_t maxUploadBytes(const UploadStore::SummaryBounds& bounds) {
    const size_t text = shownTextBytes(bounds.textCharacters);
    const size_t bundle =
        kBundleFrameBytes + text + bounds.names * (text + 1) + kMaxBundleTextBytes + kCutNoteBytes;
    return kUploadFrameBytes + shownTextBytes(bounds.errorCharacters) +
           bundle * static_cast<size_t>(bounds.bundles);
  }

  explicit UploadsPage(size_t maxBytes = kMaxBytes);

  // Adds `upload` and answers true when the page holds it whole within the bound. When it does
  // not fit, the page stays as it was and answers false, except for the page's first upload,
  // which is then shown as far as it fits (its heading, then whole bundles) so that the page
  // always shows something to lead on from.
  bool add(const UploadStore::UploadSummaryRow& upload);
  // The uploads shown, whole or cut.
  size_t count() const { return count_; }
  // The page's text, ending with a link to the uploads older than `before` unless it is 0.
  std::string finish(int64_t before) &&;

  // `text` indented as nlohmann's dump(2) writes the value it holds, for the compact text that
  // dump() writes; nothing once the indented text passes `maxBytes`, so that deep nesting,
  // which multiplies the indentation, costs no more than that.
  static std::optional<std::string> indentedJson(std::string_view compact, size_t maxBytes);
  // Appends `text` escaped for HTML, no more than `maxBytes` of it and never half a UTF-8
  // character; answers whether all of it went in.
  static bool appendEscaped(std::string& out, std::string_view text, size_t maxBytes);
  // A stored text as shown: escaped, and when cut followed by "… (N characters)".
  static std::string shownText(const UploadStore::TextStart& text);

 private:
  // What the page writes around the texts of a peer: headings, counts, notes, links.
  static constexpr size_t kUploadFrameBytes = 256;
  static constexpr size_t kBundleFrameBytes = 256;
  static constexpr size_t kCutNoteBytes = 128;
  static constexpr size_t kFinishBytes = 256;
  // A text of `characters` escaped (at most six bytes each) with its length after it.
  static constexpr size_t shownTextBytes(int characters) {
    return 6 * static_cast<size_t>(characters) + 64;
  }

  // The HTML of one bundle's <details>.
  static std::string bundleHtml(const UploadStore::BundleSummary& bundle);
  // The escaped text of a bundle's JSON, at most kMaxBundleTextBytes and a note.
  static std::string bundleText(const UploadStore::BundleSummary& bundle);

  const size_t maxBytes_;
  std::string html_;
  size_t count_ = 0;
  int64_t lastID_ = 0;
};

}  // namespace measurement_service
