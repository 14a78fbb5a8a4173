#pragma once

namespace quillane {

// Reverse-DNS identifier of the application. The extension's bundle identifier and every queue
// label are formed by appending a fixed suffix to it.
inline constexpr char APP_ID[] = "org.quillane.app";

}  // namespace quillane
