#include "common/secret_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <random>
#include <string>

namespace korvane {

namespace {

[[noreturn]] void raise_os_error(nb::handle path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    nb::raise_python_error();
}

std::string directory_of(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Temporary files are named ".<base>.<pid>.<random>.tmp", so a later writer can tell
// those of a process that no longer exists.
std::string temporary_prefix(const std::string& base) { return "." + base + "."; }

void remove_orphans(const std::string& directory, const std::string& base) {
    DIR* dir = opendir(directory.c_str());
    if (!dir) return;
    const std::string prefix = temporary_prefix(base);
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - 4, 4, ".tmp") != 0)
            continue;
        char* end = nullptr;
        long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (end == name.c_str() + prefix.size() || *end != '.' || pid <= 0 || pid == getpid())
            continue;
        if (kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH)
            unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
}

int create_temporary(const std::string& directory, const std::string& base, std::string& name) {
    static std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = directory + "/" + temporary_prefix(base) + std::to_string(getpid()) + "." +
               std::to_string(random() % 1000000000000ULL) + ".tmp";
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

void replace_file(nb::handle open_function, nb::handle path, nb::handle text) {
    nb::object fs_path = nb::steal(PyOS_FSPath(path.ptr()));
    if (!fs_path.is_valid()) nb::raise_python_error();
    nb::object encoded;
    if (PyBytes_Check(fs_path.ptr())) {
        encoded = fs_path;
    } else {
        encoded = nb::steal(PyUnicode_EncodeFSDefault(fs_path.ptr()));
        if (!encoded.is_valid()) nb::raise_python_error();
    }
    const std::string target(PyBytes_AS_STRING(encoded.ptr()), (std::size_t) PyBytes_GET_SIZE(encoded.ptr()));
    if (target.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        nb::raise_python_error();
    }
    const std::string directory = directory_of(target);
    const std::string base = base_of(target);

    remove_orphans(directory, base);
    std::string temporary;
    int fd = create_temporary(directory, base, temporary);
    if (fd < 0) raise_os_error(path);
    try {
        if (fchmod(fd, 0600) != 0) raise_os_error(path);
        nb::object file = open_function(fd, "w", nb::arg("closefd") = false);
        try {
            file.attr("write")(text);
        } catch (nb::python_error&) {
            file.attr("close")();
            throw;
        }
        file.attr("close")();
        int synced;
        {
            nb::gil_scoped_release unlocked;
            synced = fsync(fd);
        }
        if (synced != 0) raise_os_error(path);
        if (close(fd) != 0) {
            fd = -1;
            raise_os_error(path);
        }
        fd = -1;
        if (rename(temporary.c_str(), target.c_str()) != 0) raise_os_error(path);
    } catch (...) {
        if (fd >= 0) close(fd);
        unlink(temporary.c_str());
        throw;
    }
    // Make the rename itself durable; the new content is already complete either way.
    int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        fsync(dir_fd);
        close(dir_fd);
    }
}

void write_json_file(nb::handle open, nb::handle json, nb::handle path, nb::handle content) {
    replace_file(open, path, json.attr("dumps")(content));
}

nb::object load_json_file(nb::handle open, nb::handle json, nb::handle path) {
    nb::object content;
    kr::with(open(path, "r"), [&](nb::handle file) { content = json.attr("load")(file); });
    if (!content.is_valid()) {
        // __exit__ swallowed the error: the name was never bound.
        PyErr_SetString(PyExc_UnboundLocalError, "local variable 'secret_data' referenced before assignment");
        nb::raise_python_error();
    }
    return content;
}

nb::object secret_file_path_of(const kr::Module& module) {
    nb::object path = module.global("os").attr("path");
    nb::object module_dir = path.attr("dirname")(path.attr("realpath")(module.global("__file__")));
    return path.attr("join")(path.attr("split")(module_dir)[0], "secret.json");
}

}  // namespace korvane
