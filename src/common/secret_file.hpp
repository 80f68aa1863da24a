// Writing the credential file so that it is never left emptied or partial.
#pragma once

#include "runtime/runtime.hpp"

namespace korvane {

namespace nb = nanobind;

// Replaces the file at `path` with `text`: the text is written through
// `open(fd, "w", closefd=False)` (so it is encoded as any text file the process opens
// would be) into a new owner-only (0600) file beside it, flushed to disk, and renamed over
// `path` in one step. A symbolic link at `path` is written through: the new file goes
// beside the link's target and replaces that. A failure at any point leaves the old file
// as it was and removes the new one. Temporary files whose writer is gone (killed while
// writing) are removed; a live writer's are told apart by the lock it holds on them.
void replace_file(nb::handle open, nb::handle path, nb::handle text);

// The credential file is `path`, the module's `secret_file_path`. When that is still
// `package_path`, the file in the package root, a per-user file stands in for it where
// the package root cannot hold it: $XDG_CONFIG_HOME/korvane/secret.json, or
// ~/.config/korvane/secret.json, in owner-only directories.

// The file to read: the per-user file when it exists (it was written because the package
// root could not be), or when the package root's file is another user's; otherwise `path`.
// None when the package root's file is another user's and there is no per-user place:
// there is no file of this user's then.
nb::object credential_file_to_read(nb::handle path, nb::handle package_path);

// replace_file with json.dumps(content) (json.dump's text, written whole) into the
// credential file: the per-user file when it exists or the package root's file is another
// user's, else `path`, and the per-user file after all when `path` cannot be written for
// want of rights or on a read-only file system. When the per-user file cannot be written
// either, `print` tells the user so and nothing is raised: the login holds for the session.
void write_credential_file(nb::handle open, nb::handle print, nb::handle json, nb::handle path,
                           nb::handle package_path, nb::handle content);

// `with open(path, "r") as file: return json.load(file)`, where `path` must name a
// regular file (OSError naming it otherwise, at once): `open` gets the descriptor of the
// file checked, not the path again.
nb::object load_json_file(nb::handle open, nb::handle json, nb::handle path);

// secret.json in the package root, one level above the directory of the module being
// imported (whose __file__ is resolved through symbolic links first).
nb::object secret_file_path_of(const kr::Module& module);

}  // namespace korvane
