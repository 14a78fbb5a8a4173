#include "camd/activation.h"

namespace camd {

nlohmann::json runActivation(bool /*activate*/) {
  return {{"ok", false},
          {"state", "failed"},
          {"message", "this build of quillane-camd has no system-extension service"}};
}

}  // namespace camd
