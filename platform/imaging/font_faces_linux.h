#pragma once

#include <cairo.h>

#include <string>

namespace platform::imaging {

// What a PostScript-style font name ("Helvetica-Bold", "Times-BoldItalic") asks fontconfig for.
struct FontRequest {
  std::string family;
  int weight = 0;  // fontconfig weight (FC_WEIGHT_*)
  int slant = 0;   // fontconfig slant (FC_SLANT_*)
};

// Splits "Family-Style" at the last hyphen; the style words Bold, Italic, Oblique (in any
// combination) set weight and slant, and a name without a style asks for the regular face.
FontRequest parseFontName(const std::string& name);

// The cairo face for the nearest available match of `name`, found once per name and kept for
// the life of the process (the caller must not destroy it). Never null: cairo hands out an
// error face when nothing matches, which draws nothing. Thread-safe: the cache is guarded by
// its own mutex.
cairo_font_face_t* fontFaceNamed(const std::string& name);

}  // namespace platform::imaging
