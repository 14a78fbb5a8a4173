#pragma once

namespace quillane::browser {

// camera_page.html, built into the tool.
extern const char* const kCameraPage;

}  // namespace quillane::browser
