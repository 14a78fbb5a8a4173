#pragma once

#include <memory>
#include <string>

#include "platform/imaging/image_view.h"

namespace platform::imaging {

struct Color {
  double red = 0, green = 0, blue = 0, alpha = 1;
};

struct Point {
  double x = 0, y = 0;
};

// Typographic bounds of one laid-out line of text.
struct TextBounds {
  double width = 0;
  double height = 0;
};

// Draws onto a BGRA pixel region (premultiplied alpha, blue-green-red-alpha in memory), like
// a CoreGraphics bitmap context with bitmap info 0x2002. Coordinates have their origin at the
// bottom-left, y up, while the first memory row is the top of the picture. The region must
// outlive the context. Single-threaded: use from one thread at a time.
class DrawingContext {
 public:
  // nullptr when the region is unusable or the platform refuses a context.
  static std::unique_ptr<DrawingContext> create(const ImageView& bgraPixels);
  ~DrawingContext();

  // Fills the whole region with a two-stop linear gradient from `from` (colour `start`) to
  // `to` (colour `end`), without extending past the end points. False when the platform
  // refuses the gradient (nothing drawn).
  bool fillLinearGradient(Point from, Point to, Color start, Color end);

  // Typographic bounds of `utf8` laid out as one line in the named font at `size` points. The
  // font is looked up by name ("Helvetica-Bold"); the nearest available face stands in.
  TextBounds measureText(const std::string& utf8, const std::string& fontName, double size);

  // Draws one line of text with its baseline origin at `origin`.
  void drawText(const std::string& utf8, const std::string& fontName, double size, Color color,
                Point origin);

  // Makes sure everything drawn has reached the pixels.
  void flush();

  struct Impl;

 private:
  explicit DrawingContext(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform::imaging
