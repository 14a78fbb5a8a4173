#include <cairo.h>

#include <climits>
#include <utility>

#include "platform/faults/fault_injection.h"
#include "platform/imaging/drawing_context.h"
#include "platform/imaging/font_faces_linux.h"

namespace platform::imaging {

// A cairo ARGB32 surface over the caller's memory (premultiplied, native-endian: B, G, R, A in
// memory on little-endian machines) and the cairo context drawing on it. Cairo works in device
// coordinates (y down); points are flipped on the way in.
struct DrawingContext::Impl {
  cairo_surface_t* surface = nullptr;
  cairo_t* cairo = nullptr;
  int height = 0;

  ~Impl() {
    if (cairo) cairo_destroy(cairo);
    if (surface) {
      cairo_surface_flush(surface);
      cairo_surface_destroy(surface);
    }
  }

  Point toDevice(Point p) const { return {p.x, height - p.y}; }

  // Selects the named face at `size` with unhinted outlines and metrics, so advances scale
  // linearly with size as typographic bounds do.
  void selectFont(const std::string& fontName, double size) {
    cairo_set_font_face(cairo, fontFaceNamed(fontName));
    cairo_set_font_size(cairo, size);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_set_font_options(cairo, options);
    cairo_font_options_destroy(options);
  }
};

std::unique_ptr<DrawingContext> DrawingContext::create(const ImageView& bgraPixels) {
  if (bgraPixels.data == nullptr || bgraPixels.width < 1 || bgraPixels.height < 1) return nullptr;
  const std::size_t minimumStride = static_cast<std::size_t>(bgraPixels.width) * 4;
  if (bgraPixels.bytesPerRow < minimumStride || bgraPixels.bytesPerRow % 4 != 0) return nullptr;
  if (bgraPixels.bytesPerRow > static_cast<std::size_t>(INT_MAX)) return nullptr;
  if (faults::shouldFail(faults::Fault::CreateDrawingContext)) return nullptr;

  auto impl = std::make_unique<Impl>();
  impl->height = bgraPixels.height;
  impl->surface = cairo_image_surface_create_for_data(bgraPixels.data, CAIRO_FORMAT_ARGB32,
                                                      bgraPixels.width, bgraPixels.height,
                                                      static_cast<int>(bgraPixels.bytesPerRow));
  if (cairo_surface_status(impl->surface) != CAIRO_STATUS_SUCCESS) return nullptr;
  impl->cairo = cairo_create(impl->surface);
  if (cairo_status(impl->cairo) != CAIRO_STATUS_SUCCESS) return nullptr;
  return std::unique_ptr<DrawingContext>(new DrawingContext(std::move(impl)));
}

DrawingContext::DrawingContext(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DrawingContext::~DrawingContext() = default;

bool DrawingContext::fillLinearGradient(Point from, Point to, Color start, Color end) {
  if (faults::shouldFail(faults::Fault::CreateGradient)) return false;
  Point a = impl_->toDevice(from);
  Point b = impl_->toDevice(to);
  cairo_pattern_t* gradient = cairo_pattern_create_linear(a.x, a.y, b.x, b.y);
  if (cairo_pattern_status(gradient) != CAIRO_STATUS_SUCCESS) {
    cairo_pattern_destroy(gradient);
    return false;
  }
  cairo_pattern_add_color_stop_rgba(gradient, 0, start.red, start.green, start.blue, start.alpha);
  cairo_pattern_add_color_stop_rgba(gradient, 1, end.red, end.green, end.blue, end.alpha);
  // Pad rather than none: inside the end points both are the same, and padding keeps pixels
  // whose centres fall a hair outside (corner pixels under rounding) from staying unpainted.
  cairo_pattern_set_extend(gradient, CAIRO_EXTEND_PAD);
  cairo_set_source(impl_->cairo, gradient);
  cairo_paint(impl_->cairo);
  cairo_pattern_destroy(gradient);
  return true;
}

TextBounds DrawingContext::measureText(const std::string& utf8, const std::string& fontName,
                                       double size) {
  cairo_save(impl_->cairo);
  impl_->selectFont(fontName, size);
  cairo_text_extents_t text;
  cairo_text_extents(impl_->cairo, utf8.c_str(), &text);
  // Font height is ascent + descent + line gap, the line's typographic height.
  cairo_font_extents_t font;
  cairo_font_extents(impl_->cairo, &font);
  cairo_restore(impl_->cairo);
  return {text.x_advance, font.height};
}

void DrawingContext::drawText(const std::string& utf8, const std::string& fontName, double size,
                              Color color, Point origin) {
  cairo_save(impl_->cairo);
  impl_->selectFont(fontName, size);
  cairo_set_source_rgba(impl_->cairo, color.red, color.green, color.blue, color.alpha);
  Point baseline = impl_->toDevice(origin);
  cairo_move_to(impl_->cairo, baseline.x, baseline.y);
  cairo_show_text(impl_->cairo, utf8.c_str());
  cairo_restore(impl_->cairo);
}

void DrawingContext::flush() {
  cairo_surface_flush(impl_->surface);
}

}  // namespace platform::imaging
