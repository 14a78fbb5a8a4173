// quillane-sysext-launch IDENTIFIER DATA STATE RUNTIME: starts the installed copy of the
// extension IDENTIFIER from the user's folders DATA, STATE and RUNTIME (the XDG base folders it
// was activated with) as an activation does, and ends once it runs. The registrations that the
// system-extension service writes (a systemd user unit, an XDG autostart entry) run it from the
// installed copy. Exit 0 when the extension runs, 1 with a line on standard error when it does
// not (an instance runs already, the copy is missing or does not start), 2 for bad arguments.
#include <cstdio>
#include <exception>

#include "platform/sysext/extension_registration_linux.h"

int main(int argc, char* argv[]) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s IDENTIFIER DATA STATE RUNTIME\n", argv[0]);
    return 2;
  }
  try {
    const platform::sysext::ServiceFolders folders{
        .data = argv[2], .state = argv[3], .config = {}, .runtime = argv[4]};
    platform::sysext::startInstalledCopy(platform::sysext::ExtensionFiles(folders, argv[1]),
                                         argv[1]);
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s\n", failure.what());
    return 1;
  }
}
