#include "crypto/variant_text.h"

#include <cstdio>

#include "platform/ole_date.h"

namespace qx {

HRESULT VariantToText(const Variant& value, std::string* text) {
  char buffer[64];
  switch (value.type()) {
    case Variant::Type::kEmpty:
      text->clear();
      return S_OK;
    case Variant::Type::kString:
      *text = value.AsString();
      return S_OK;
    case Variant::Type::kBool:
      *text = value.AsBool() ? "-1" : "0";
      return S_OK;
    case Variant::Type::kInt32:
      std::snprintf(buffer, sizeof buffer, "%d", value.AsInt32());
      *text = buffer;
      return S_OK;
    case Variant::Type::kDouble:
      std::snprintf(buffer, sizeof buffer, "%.15G", value.AsDouble());
      *text = buffer;
      return S_OK;
    case Variant::Type::kDate: {
      CalendarTime t;
      if (!CalendarFromDate(value.AsDate(), &t)) return DISP_E_TYPEMISMATCH;
      if (t.hour == 0 && t.minute == 0 && t.second == 0)
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", t.year, t.month, t.day);
      else
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month,
                      t.day, t.hour, t.minute, t.second);
      *text = buffer;
      return S_OK;
    }
    case Variant::Type::kNull:
    case Variant::Type::kObject:
      break;
  }
  return DISP_E_TYPEMISMATCH;
}

}  // namespace qx
