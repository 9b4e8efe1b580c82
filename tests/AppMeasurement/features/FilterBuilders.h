#pragma once

#include <optional>
#include <string>
#include <vector>

#include "AppMeasurement/messages/APMPBMessages.h"

// Small builders of filter definitions for the audience tests.
namespace filters {

inline APMPBNumberFilter number(int type, std::optional<std::string> value,
                                std::optional<std::string> min = std::nullopt,
                                std::optional<std::string> max = std::nullopt) {
  APMPBNumberFilter filter;
  if (type >= 0) NANOSetInt32(filter, APMPBNumberFilter::kComparisonType, type);
  NANOSetString(filter, APMPBNumberFilter::kComparisonValue, value);
  NANOSetString(filter, APMPBNumberFilter::kMinComparisonValue, min);
  NANOSetString(filter, APMPBNumberFilter::kMaxComparisonValue, max);
  return filter;
}

inline APMPBStringFilter string(int type, std::optional<std::string> expression,
                                bool caseSensitive = false, std::vector<std::string> list = {}) {
  APMPBStringFilter filter;
  if (type >= 0) NANOSetInt32(filter, APMPBStringFilter::kMatchType, type);
  NANOSetString(filter, APMPBStringFilter::kExpression, expression);
  if (caseSensitive) NANOSetBool(filter, APMPBStringFilter::kCaseSensitive, true);
  std::vector<NANOObject> elements(list.begin(), list.end());
  NANOSetArray(filter, APMPBStringFilter::kExpressionList, elements);
  return filter;
}

inline APMPBFilter filter(std::optional<APMPBStringFilter> s, std::optional<APMPBNumberFilter> n,
                          bool negate = false, std::optional<std::string> param = std::nullopt) {
  APMPBFilter result;
  if (s) NANOSetMessage(result, APMPBFilter::kStringFilter, *s);
  if (n) NANOSetMessage(result, APMPBFilter::kNumberFilter, *n);
  if (negate) NANOSetBool(result, APMPBFilter::kComplement, true);
  NANOSetString(result, APMPBFilter::kParamName, param);
  return result;
}

inline APMPBEventFilter eventFilter(int id, std::string name, std::vector<APMPBFilter> params,
                                    std::optional<APMPBNumberFilter> count = std::nullopt,
                                    bool sessionScoped = false) {
  APMPBEventFilter result;
  NANOSetInt32(result, APMPBEventFilter::kFilterId, id);
  NANOSetString(result, APMPBEventFilter::kEventName, name);
  NANOSetMessageArray(result, APMPBEventFilter::kFilters, params);
  if (count) NANOSetMessage(result, APMPBEventFilter::kEventCountFilter, *count);
  if (sessionScoped) NANOSetBool(result, APMPBEventFilter::kSessionScoped, true);
  return result;
}

inline APMPBPropertyFilter propertyFilter(int id, std::string name,
                                          std::optional<APMPBFilter> inner) {
  APMPBPropertyFilter result;
  NANOSetInt32(result, APMPBPropertyFilter::kFilterId, id);
  NANOSetString(result, APMPBPropertyFilter::kPropertyName, name);
  if (inner) NANOSetMessage(result, APMPBPropertyFilter::kFilter, *inner);
  return result;
}

}  // namespace filters
