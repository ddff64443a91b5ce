#pragma once

#include <string>

namespace mirl {

// The user's folders after the XDG rules, each with a trailing "/"; "" when there is no home to
// put them in. Never a path relative to the current folder.

// $HOME when it is an absolute path, else the home folder of the user's password entry; "" when
// that folder doesn't exist.
std::string UserHome();
// $XDG_DATA_HOME, else ~/.local/share/.
std::string UserDataFolder();
// $XDG_STATE_HOME, else ~/.local/state/.
std::string UserStateFolder();

// Creates `folder` and its missing parents, each only for this user (0700), but only below the
// user's existing home, or the XDG base folder the user named when its parent exists; true when it
// exists.
bool MakePrivateFolders(const std::string& folder);

} // namespace mirl
