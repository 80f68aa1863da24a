#include "common/secret_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>
#include <string>

namespace korvane {

namespace {

[[noreturn]] void raise_os_error(nb::handle path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    nb::raise_python_error();
}

// The bytes the operating system gets for `path` (a str, bytes or path-like object).
std::string fs_bytes(nb::handle path) {
    nb::object fs_path = nb::steal(PyOS_FSPath(path.ptr()));
    if (!fs_path.is_valid()) nb::raise_python_error();
    nb::object encoded;
    if (PyBytes_Check(fs_path.ptr())) {
        encoded = fs_path;
    } else {
        encoded = nb::steal(PyUnicode_EncodeFSDefault(fs_path.ptr()));
        if (!encoded.is_valid()) nb::raise_python_error();
    }
    std::string bytes(PyBytes_AS_STRING(encoded.ptr()), (std::size_t) PyBytes_GET_SIZE(encoded.ptr()));
    if (bytes.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        nb::raise_python_error();
    }
    return bytes;
}

nb::str fs_text(const std::string& bytes) {
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), (Py_ssize_t) bytes.size());
    if (!text) nb::raise_python_error();
    return nb::steal<nb::str>(text);
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

// Temporary files are named ".<base>.<pid>.<random>.tmp". Their writer holds an
// exclusive flock on the file from creating it until the rename, so a temporary file
// that can be locked has no live writer, in any pid namespace of this host.
std::string temporary_prefix(const std::string& base) { return "." + base + "."; }

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void remove_orphans(const std::string& directory, const std::string& base) {
    DIR* dir = opendir(directory.c_str());
    if (!dir) return;
    const std::string prefix = temporary_prefix(base);
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() <= prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0 ||
            name.compare(name.size() - 4, 4, ".tmp") != 0)
            continue;
        int fd = openat(dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;  // gone already, or another user's: not ours to judge
        struct stat held, named;
        // Unlinked only while locked by us and still under that name, so neither a live
        // writer's file nor a newer file that took the name is ever removed.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 &&
            fstatat(dirfd(dir), entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(held, named))
            unlinkat(dirfd(dir), entry->d_name, 0);
        close(fd);
    }
    closedir(dir);
}

// A new owner-only temporary file, locked before anyone can judge it an orphan: a
// cleaner that removed it between its creation and the lock is noticed, and another
// name is taken.
int create_temporary(const std::string& directory, const std::string& base, std::string& name) {
    static std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = directory + "/" + temporary_prefix(base) + std::to_string(getpid()) + "." +
               std::to_string(random() % 1000000000000ULL) + ".tmp";
        int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        if (flock(fd, LOCK_EX) != 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        struct stat held, named;
        if (fstat(fd, &held) == 0 && lstat(name.c_str(), &named) == 0 && same_file(held, named)) return fd;
        close(fd);  // removed, or its name taken, before the lock: try another name
    }
    errno = EEXIST;
    return -1;
}

// The file a write to `path` replaces: symbolic links are followed, so the new content
// lands where the link points and the link stays a link. A link that points nowhere
// yet names the file to create.
std::string resolve_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::string target(PATH_MAX, '\0');
        ssize_t size = readlink(path.c_str(), target.data(), target.size());
        if (size < 0) return path;
        target.resize((std::size_t) size);
        path = (!target.empty() && target[0] == '/') ? target : directory_of(path) + "/" + target;
    }
    errno = ELOOP;
    return {};
}

}  // namespace

void replace_file(nb::handle open_function, nb::handle path, nb::handle text) {
    const std::string target = resolve_links(fs_bytes(path));
    if (target.empty()) raise_os_error(path);
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
        // Renamed while still locked: until then the file is a live writer's.
        if (rename(temporary.c_str(), target.c_str()) != 0) raise_os_error(path);
    } catch (...) {
        unlink(temporary.c_str());
        close(fd);
        throw;
    }
    close(fd);  // the content is on disk and in place; the lock goes with the descriptor
    // Make the rename itself durable; the new content is already complete either way.
    int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        fsync(dir_fd);
        close(dir_fd);
    }
}

// ---- where the credential file is kept ------------------------------------------------

namespace {

// $XDG_CONFIG_HOME/korvane/secret.json, or ~/.config/korvane/secret.json; empty when
// the user has no home directory to keep it in. The %korvane magic finds the same file to
// name it when it is damaged (_credential_file in src/korvane/magics.py).
std::string user_credential_file() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::string(config) + "/korvane/secret.json";
    std::string home;
    if (const char* from_env = std::getenv("HOME"); from_env && from_env[0] == '/') {
        home = from_env;
    } else {
        std::string buffer(16384, '\0');
        passwd entry{};
        passwd* found = nullptr;
        if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            found->pw_dir && found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    return home.empty() ? std::string() : home + "/.config/korvane/secret.json";
}

bool is_package_file(nb::handle path, nb::handle package_path) {
    int same = PyObject_RichCompareBool(path.ptr(), package_path.ptr(), Py_EQ);
    if (same < 0) nb::raise_python_error();
    return same == 1;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool belongs_to_another_user(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && st.st_uid != geteuid();
}

// Refused for want of rights or on a read-only file system, as opposed to a path that
// is wrong (a missing directory), which stays the caller's error.
bool cannot_write_there(nb::python_error& error) {
    if (!error.matches(PyExc_OSError)) return false;
    nb::object code = nb::getattr(error.value(), "errno", nb::none());
    if (!PyLong_CheckExact(code.ptr())) return false;
    long value = PyLong_AsLong(code.ptr());
    return value == EACCES || value == EPERM || value == EROFS;
}

void make_private_directory(const std::string& directory) {
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        nb::str shown = fs_text(directory);
        raise_os_error(shown);
    }
}

void write_user_file(nb::handle open, const std::string& user_file, nb::handle text) {
    const std::string directory = directory_of(user_file);
    make_private_directory(directory_of(directory));
    make_private_directory(directory);
    replace_file(open, fs_text(user_file), text);
}

}  // namespace

nb::object credential_file_to_read(nb::handle path, nb::handle package_path) {
    if (!is_package_file(path, package_path)) return nb::borrow(path);
    const std::string user_file = user_credential_file();
    if (!user_file.empty() && exists(user_file)) return fs_text(user_file);
    // Another user's file in a shared install is no file of ours, readable or not: its
    // token and password are theirs. The login goes on as if there were none, and keeps
    // its own per user.
    if (belongs_to_another_user(fs_bytes(path))) return user_file.empty() ? nb::none() : nb::object(fs_text(user_file));
    return nb::borrow(path);
}

namespace {

// The session goes on with a login the service accepted though no file could keep it (no
// usable home, as for a service account whose HOME does not exist, beside a read-only
// package root): the user is told where it was tried and how to choose a place.
void report_not_kept(nb::handle print, nb::handle package_path, const std::string& user_file,
                     nb::python_error* cause) {
    nb::str where = user_file.empty() ? nb::str("and there is no home directory to keep it in")
                                      : nb::str(kr::concat({nb::str("nor could "), fs_text(user_file)}));
    nb::str why = cause ? nb::str(kr::concat({nb::str(" ("), nb::str(cause->value()), nb::str(")")})) : nb::str("");
    print(kr::concat({nb::str("The login is accepted but could not be kept for later sessions: "),
                      nb::str(package_path), nb::str(" is not yours to write, "), where, why,
                      nb::str(". It holds for this session; set XDG_CONFIG_HOME to a directory you can write "
                              "to keep it there.")}));
}

void write_user_file_or_report(nb::handle open, nb::handle print, nb::handle package_path,
                               const std::string& user_file, nb::handle text) {
    if (user_file.empty()) return report_not_kept(print, package_path, user_file, nullptr);
    try {
        write_user_file(open, user_file, text);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        report_not_kept(print, package_path, user_file, &e);
    }
}

}  // namespace

void write_credential_file(nb::handle open, nb::handle print, nb::handle json, nb::handle path,
                           nb::handle package_path, nb::handle content) {
    nb::object text = json.attr("dumps")(content);
    if (!is_package_file(path, package_path)) return replace_file(open, path, text);
    const std::string user_file = user_credential_file();
    if ((!user_file.empty() && exists(user_file)) || belongs_to_another_user(fs_bytes(path)))
        return write_user_file_or_report(open, print, package_path, user_file, text);
    try {
        return replace_file(open, path, text);
    } catch (nb::python_error& e) {
        if (!cannot_write_there(e)) throw;
    }
    write_user_file_or_report(open, print, package_path, user_file, text);
}

namespace {

// The credential file, opened without waiting: a FIFO (or a device) at its place would
// block every login until someone writes to it, so anything but a regular file is refused.
int open_regular_file(nb::handle path) {
    const std::string name = fs_bytes(path);
    int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) raise_os_error(path);
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        raise_os_error(path);
    }
    if (S_ISDIR(st.st_mode)) {  // as open() reports it
        close(fd);
        errno = EISDIR;
        raise_os_error(path);
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        nb::object error = nb::handle(PyExc_OSError)(EINVAL, "Not a regular file, so not read as the credential file",
                                                     path);
        PyErr_SetObject(PyExc_OSError, error.ptr());
        nb::raise_python_error();
    }
    return fd;
}

}  // namespace

nb::object load_json_file(nb::handle open, nb::handle json, nb::handle path) {
    nb::object content;
    const int fd = open_regular_file(path);
    try {
        kr::with(open(fd, "r", nb::arg("closefd") = false), [&](nb::handle file) { content = json.attr("load")(file); });
    } catch (...) {
        close(fd);
        throw;
    }
    close(fd);
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
