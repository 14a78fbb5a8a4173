#include "platform/imaging/font_faces_linux.h"

#include <cairo-ft.h>
#include <fontconfig/fontconfig.h>

#include <map>

#include "platform/base/mutex.h"

namespace platform::imaging {
namespace {

bool contains(const std::string& text, const char* word) {
  return text.find(word) != std::string::npos;
}

cairo_font_face_t* matchFace(const std::string& name) {
  FontRequest request = parseFontName(name);
  FcPattern* pattern = FcPatternCreate();
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(request.family.c_str()));
  FcPatternAddInteger(pattern, FC_WEIGHT, request.weight);
  FcPatternAddInteger(pattern, FC_SLANT, request.slant);
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  // Without a match cairo resolves the request pattern itself, as best it can.
  cairo_font_face_t* face = cairo_ft_font_face_create_for_pattern(match ? match : pattern);
  if (match) FcPatternDestroy(match);
  FcPatternDestroy(pattern);
  return face;
}

}  // namespace

FontRequest parseFontName(const std::string& name) {
  FontRequest request{name, FC_WEIGHT_REGULAR, FC_SLANT_ROMAN};
  std::size_t hyphen = name.rfind('-');
  if (hyphen == std::string::npos || hyphen == 0) return request;
  request.family = name.substr(0, hyphen);
  std::string style = name.substr(hyphen + 1);
  if (contains(style, "Bold")) request.weight = FC_WEIGHT_BOLD;
  if (contains(style, "Italic")) request.slant = FC_SLANT_ITALIC;
  if (contains(style, "Oblique")) request.slant = FC_SLANT_OBLIQUE;
  return request;
}

cairo_font_face_t* fontFaceNamed(const std::string& name) {
  static base::Mutex cacheMutex;
  static std::map<std::string, cairo_font_face_t*> faces QLN_GUARDED_BY(cacheMutex);
  base::MutexLock lock(cacheMutex);
  auto [it, inserted] = faces.try_emplace(name, nullptr);
  if (inserted) it->second = matchFace(name);
  return it->second;
}

}  // namespace platform::imaging

// fontconfig loses a few bytes while parsing its XML configuration, once per process; tell
// LeakSanitizer so that sanitizer runs of every program drawing text stay clean.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
