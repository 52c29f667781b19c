// src/orrinth/trace/atomic_save.cpp: replacing a file atomically. The new contents go to a
// temporary file in the target's own directory, which takes the target's place by rename()
// only once it is complete and closed: a save that fails midway leaves the previous file
// as it was.
#include "trace.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace orrinth::trace {
namespace {

std::string fs_bytes(PyObject *str) {
    Ref b = require(PyUnicode_EncodeFSDefault(str));
    return std::string(PyBytes_AS_STRING(b.get()), PyBytes_GET_SIZE(b.get()));
}

/// A temporary file beside `target`, ready for writing, or -1 when none can be made.
int create_temp(const std::string &target, const struct stat *old, std::string &tmp_path) {
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::random_device rd;
    for (int attempt = 0; attempt < 16; attempt++) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%08x%04x.tmp", static_cast<unsigned>(rd()),
                      static_cast<unsigned>(rd() & 0xffff));
        tmp_path = dir + "." + base + suffix;
        int fd = ::open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        // A replaced file keeps its permission bits; a new one gets what open("w") gives.
        if (old && ::fchmod(fd, old->st_mode & 07777) != 0) {
            ::close(fd);
            ::unlink(tmp_path.c_str());
            return -1;
        }
        return fd;
    }
    return -1;
}

/// Whether `path` is a pathlib.Path whose `open` is Path's own: only then may a save go
/// around it. A subclass (or an instance) that supplies its own `open` gets it called.
/// The type is tested for real, not through `__class__`, which any object can fake.
bool opens_as_path(TraceState &st, PyObject *path) {
    if (!PyObject_TypeCheck(path, reinterpret_cast<PyTypeObject *>(st.path_type))) return false;
    Ref own = getattr(st.path_type, st.str_open);
    Ref open = getattr(path, st.str_open);
    return PyMethod_Check(open.get()) && PyMethod_GET_SELF(open.get()) == path &&
           PyMethod_GET_FUNCTION(open.get()) == own.get();
}

}  // namespace

bool save_replacing_atomically(TraceState &st, PyObject *path,
                               const std::function<void(PyObject *file)> &write) {
    if (!opens_as_path(st, path)) return false;
    Ref fspath = require(PyOS_FSPath(path));
    if (!PyUnicode_Check(fspath.get())) return false;
    Ref real = require(PyObject_CallOneArg(st.realpath, fspath.get()));
    if (!PyUnicode_Check(real.get())) return false;
    std::string target = fs_bytes(real.get());

    struct stat old;
    bool exists = ::stat(target.c_str(), &old) == 0;
    if (!exists && errno != ENOENT) return false;
    // "May write" is judged for the effective user, as open("w") would judge it; plain
    // access() asks about the real user and would let a read-only file be replaced.
    if (exists && !(S_ISREG(old.st_mode) && old.st_uid == ::geteuid() &&
                    ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0))
        return false;

    std::string tmp;
    int fd = create_temp(target, exists ? &old : nullptr, tmp);
    if (fd < 0) return false;

    // The descriptor stays ours alone (the file object is made with closefd=False):
    // when wrapping it fails, io.open may or may not have closed it already, and it
    // must be closed exactly once whatever happens.
    struct FdGuard {
        int fd;
        ~FdGuard() {
            if (fd >= 0) ::close(fd);
        }
    } guard{fd};
    try {
        Ref file = require(PyFile_FromFd(fd, tmp.c_str(), "w", -1, nullptr, nullptr, nullptr, 0));
        try {
            write(file.get());
        } catch (const PyErrSet &) {
            // The temporary file is about to be removed: only the write's failure matters.
            close_after_failure(st, file.get(), /*report_close_error=*/false);
            throw;
        }
        call_method(file.get(), st.str_close);  // flushes; write errors surface here
        const int closing = std::exchange(guard.fd, -1);
        if (::close(closing) != 0) {
            Ref tmp_obj = require(PyUnicode_DecodeFSDefault(tmp.c_str()));
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, tmp_obj.get());
            throw PyErrSet{};
        }
        if (::rename(tmp.c_str(), target.c_str()) != 0) {
            Ref tmp_obj = require(PyUnicode_DecodeFSDefault(tmp.c_str()));
            PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, tmp_obj.get(), real.get());
            throw PyErrSet{};
        }
    } catch (const PyErrSet &) {
        ::unlink(tmp.c_str());
        throw;
    }
    return true;
}

}  // namespace orrinth::trace
