#include "library/prninfo.h"

#include <cmath>
#include <cstdio>

namespace library {

namespace {

// A page size in dots, with the inches and millimetres shown beside it.
void set_size(int32_t dots, int32_t* field, float* inches, float* mm) {
  *field = dots;
  *inches = static_cast<float>(dots / 800.0);
  *mm = static_cast<float>(*inches * 25.4);
}

}  // namespace

bool take_doc_item(PrnInfo* info, uint16_t id, int32_t value) {
  switch (id) {
    case zjs::ZJI_PAGECOUNT: info->pages = value; return true;
    case ZJI_MODEL: info->value_8403 = value; return true;
    case zjs::ZJI_SETTING_8512: info->value_8512 = value; return true;
    case zjs::ZJI_SETTING_8513: info->value_8513 = value; return true;
    case zjs::ZJI_DISP: info->value_8514 = value; return true;
    default: return false;
  }
}

bool take_page_item(PrnInfo* info, uint16_t id, int32_t value) {
  switch (id) {
    case zjs::ZJI_COPIES: info->copies = value; return true;
    case zjs::ZJI_WIDTH: set_size(value, &info->width, &info->width_in, &info->width_mm); return true;
    case zjs::ZJI_LENGTH: set_size(value, &info->length, &info->length_in, &info->length_mm); return true;
    case zjs::ZJI_QUALITY: info->quality = value; return true;
    default: return false;
  }
}

void take_option_value(PrnOption* o, int32_t value) {
  o->found = 1;
  o->value = value;
  o->display = option_display(value, o->decimals, &o->scaled);
}

std::string option_display(int32_t value, int32_t decimals, double* scaled) {
  char text[kDisplayTextMax + 1];
  if (decimals <= 0) {
    std::snprintf(text, sizeof text, "%d", value);
  } else {
    *scaled = value / std::pow(10.0, decimals);
    std::snprintf(text, sizeof text, "%.*f", decimals, *scaled);
  }
  return text;
}

}  // namespace library
