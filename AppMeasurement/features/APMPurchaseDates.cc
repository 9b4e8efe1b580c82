#include "AppMeasurement/features/APMPurchaseDates.h"

#include <unicode/udat.h>
#include <unicode/ustring.h>

#include <memory>
#include <vector>

namespace {

struct FormatCloser {
  void operator()(UDateFormat* format) const { udat_close(format); }
};

std::unique_ptr<UDateFormat, FormatCloser> openFormat() {
  static const UChar kPattern[] = u"yyyy-MM-dd'T'HH:mm:ssZZZZZ";
  static const UChar kZone[] = u"GMT";
  UErrorCode status = U_ZERO_ERROR;
  UDateFormat* format =
      udat_open(UDAT_PATTERN, UDAT_PATTERN, "en_US_POSIX", kZone, -1, kPattern, -1, &status);
  if (U_FAILURE(status)) return nullptr;
  udat_setLenient(format, false);
  return std::unique_ptr<UDateFormat, FormatCloser>(format);
}

}  // namespace

std::string APMIA5StringFromDate(double date) {
  auto format = openFormat();
  if (!format) return {};
  UChar buffer[64];
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = udat_format(format.get(), date * 1000.0, buffer, 64, nullptr, &status);
  if (U_FAILURE(status)) return {};
  char out[128];
  int32_t outLength = 0;
  u_strToUTF8(out, sizeof out, &outLength, buffer, length, &status);
  if (U_FAILURE(status)) return {};
  return std::string(out, static_cast<size_t>(outLength));
}

std::optional<double> APMDateFromIA5String(std::string_view text) {
  auto format = openFormat();
  if (!format || text.size() > 256) return std::nullopt;
  std::vector<UChar> buffer(text.size() + 1);
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(buffer.data(), static_cast<int32_t>(buffer.size()), &length, text.data(),
                static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  int32_t position = 0;
  UDate date = udat_parse(format.get(), buffer.data(), length, &position, &status);
  if (U_FAILURE(status) || position != length) return std::nullopt;
  return date / 1000.0;
}
