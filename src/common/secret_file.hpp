// Writing the credential file so that it is never left emptied or partial.
#pragma once

#include "runtime/runtime.hpp"

namespace korvane {

namespace nb = nanobind;

// Replaces the file at `path` with `text`: the text is written through
// `open(fd, "w", closefd=False)` (so it is encoded as any text file the process opens
// would be) into a new owner-only (0600) file beside it, flushed to disk, and renamed over
// `path` in one step. A failure at any point leaves the old file as it was and removes the
// new one. Temporary files left by a process that was killed while writing are removed.
void replace_file(nb::handle open, nb::handle path, nb::handle text);

// replace_file with the text json.dumps(content) makes (json.dump's text, written whole).
void write_json_file(nb::handle open, nb::handle json, nb::handle path, nb::handle content);

// `with open(path, "r") as file: return json.load(file)`.
nb::object load_json_file(nb::handle open, nb::handle json, nb::handle path);

// secret.json in the package root, one level above the directory of the module being
// imported (whose __file__ is resolved through symbolic links first).
nb::object secret_file_path_of(const kr::Module& module);

}  // namespace korvane
