// src/orrinth/trace/atomic_save.cpp: replacing a file atomically, privately and durably.
//
// The new contents go to a temporary file in the target's own directory: an unnamed one
// (O_TMPFILE) where the file system has them, so that a killed save leaves nothing behind,
// otherwise a hidden one with a name of bounded length. Replacing a file, it is created
// readable by its owner alone and gets the target's group, extended attributes and
// permission bits once it is complete; it is synced, and only then takes the target's place
// by rename(); the directory is synced after. A save that fails midway leaves the previous
// file as it was.
//
// Where no temporary file can be made at all (a directory we may not write, no free
// inodes), or the target cannot be renamed over (a bind-mounted file: EBUSY, EXDEV), the
// target is rewritten in place, but only once every line has been produced, with its
// space reserved first: a failed save never leaves a shorter or empty file, and a killed
// one never leaves old and new lines together (see rewrite_in_place).
#include "trace.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <cstdint>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace orrinth::trace {
namespace {

std::string fs_bytes(PyObject *str) {
    Ref b = require(PyUnicode_EncodeFSDefault(str));
    return std::string(PyBytes_AS_STRING(b.get()), PyBytes_GET_SIZE(b.get()));
}

/// stat() through os.stat as the module imported it: the C library's own stat() is a
/// glibc 2.33 symbol and would raise the oldest system the wheels can run on to that.
/// Fills the mode, owner and group of `out`; false when the path does not exist, with
/// `unknown` set when it cannot be read for another reason.
bool stat_through_os(TraceState &st, PyObject *path, struct stat &out, bool &unknown) {
    unknown = false;
    Ref result = Ref::steal(PyObject_CallOneArg(st.stat, path));
    if (!result) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw PyErrSet{};
        unknown = !PyErr_ExceptionMatches(PyExc_FileNotFoundError);
        PyErr_Clear();
        return false;
    }
    Ref mode = getattr(result.get(), st.str_st_mode), uid = getattr(result.get(), st.str_st_uid),
        gid = getattr(result.get(), st.str_st_gid);
    const unsigned long m = PyLong_AsUnsignedLong(mode.get()), u = PyLong_AsUnsignedLong(uid.get()),
                        g = PyLong_AsUnsignedLong(gid.get());
    if (PyErr_Occurred()) throw PyErrSet{};
    out = {};
    out.st_mode = static_cast<mode_t>(m);
    out.st_uid = static_cast<uid_t>(u);
    out.st_gid = static_cast<gid_t>(g);
    return true;
}

/// Raise OSError from errno for `path` (and `path2`, if given).
[[noreturn]] void raise_os_error(const std::string &path, const std::string *path2 = nullptr) {
    const int saved = errno;
    Ref p1 = require(PyUnicode_DecodeFSDefault(path.c_str()));
    Ref p2 = path2 ? require(PyUnicode_DecodeFSDefault(path2->c_str())) : Ref();
    errno = saved;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, p1.get(), p2.get());
    throw PyErrSet{};
}

/// Run a system call that may block for long (fsync) without holding the GIL.
template <class F>
int without_gil(F &&call) {
    PyThreadState *ts = PyEval_SaveThread();
    const int rc = call();
    const int saved = errno;
    PyEval_RestoreThread(ts);
    errno = saved;
    return rc;
}

/// A descriptor closed on every way out.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    /// Close now, reporting the error.
    int close() { return ::close(std::exchange(fd, -1)); }
};

/// Where a save goes: the resolved target and its directory, held open so that every
/// name below is looked up in the same directory and the directory can be synced.
struct Target {
    std::string path, dir, base;
    struct stat old;  // valid when `exists`
    bool exists = false;
    Fd dirfd;
    bool dir_syncable = false;  // opened for reading; a directory we may only search is not
};

/// A hidden name beside the target (relative to its directory) that fits the directory's
/// name limit, however long the target's own name is: ".<base, cut>.<12 hex digits>.tmp".
std::string temp_name(const Target &t, std::random_device &rd) {
    long name_max = ::fpathconf(t.dirfd.fd, _PC_NAME_MAX);
    if (name_max <= 0) name_max = NAME_MAX;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".%08x%04x.tmp", static_cast<unsigned>(rd()),
                  static_cast<unsigned>(rd() & 0xffff));
    const size_t room = static_cast<size_t>(name_max) - 1 - std::char_traits<char>::length(suffix);
    return "." + t.base.substr(0, room) + suffix;
}

/// The temporary file: unnamed until linked, removed (or never named) unless kept.
struct TempFile {
    const Target &t;
    Fd fd;
    std::string name;  // empty while unnamed
    ~TempFile() {
        if (!name.empty()) ::unlinkat(t.dirfd.fd, name.c_str(), 0);
    }
};

/// Create the temporary file with `mode` (the umask may narrow it further). False when
/// the directory admits none.
bool create_temp(TempFile &tmp, mode_t mode) {
    const Target &t = tmp.t;
#ifdef O_TMPFILE
    // Unsupported, this fails; so does it without permission or space, in which case
    // the named file below fails as well, at the cost of one more call.
    tmp.fd.fd = ::openat(t.dirfd.fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
    if (tmp.fd.fd >= 0) return true;
#endif
    std::random_device rd;
    for (int attempt = 0; attempt < 16; attempt++) {
        std::string name = temp_name(t, rd);
        tmp.fd.fd = ::openat(t.dirfd.fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC,
                             mode);
        if (tmp.fd.fd >= 0) {
            tmp.name = std::move(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

/// Give the temporary file what the target has that rename() would lose: its group,
/// its extended attributes (ACLs and security labels among them) and its permission
/// bits. A group we may not set is left as created; an attribute we may not set is
/// skipped. (The owner is the saver's already: see save_replacing_atomically.)
void keep_attributes(const Target &t, int fd) {
    if (t.old.st_gid != ::getegid()) (void)::fchown(fd, static_cast<uid_t>(-1), t.old.st_gid);
    ssize_t size = ::listxattr(t.path.c_str(), nullptr, 0);
    if (size > 0) {
        std::vector<char> names(static_cast<size_t>(size));
        size = ::listxattr(t.path.c_str(), names.data(), names.size());
        for (ssize_t i = 0; i < size; i += static_cast<ssize_t>(std::strlen(&names[i])) + 1) {
            const char *name = &names[i];
            ssize_t len = ::getxattr(t.path.c_str(), name, nullptr, 0);
            if (len < 0) continue;
            std::vector<char> value(static_cast<size_t>(len));
            len = ::getxattr(t.path.c_str(), name, value.data(), value.size());
            if (len >= 0) (void)::fsetxattr(fd, name, value.data(), static_cast<size_t>(len), 0);
        }
    }
    // Last: changing the owner clears set-id bits, and setting an ACL sets group bits.
    if (::fchmod(fd, t.old.st_mode & 07777) != 0) raise_os_error(t.path);
}

/// pwrite() `data` from byte `done` on, at the same offset in the file.
void write_all_from(int fd, const std::string &data, size_t done, const std::string &path) {
    while (done < data.size()) {
        ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            raise_os_error(path);
        }
        done += static_cast<size_t>(n);
    }
}

std::string read_all(int fd, const std::string &path) {
    std::string data;
    char buf[65536];
    for (off_t off = 0;;) {
        ssize_t n = ::pread(fd, buf, sizeof buf, off);
        if (n < 0) {
            if (errno == EINTR) continue;
            raise_os_error(path);
        }
        if (n == 0) return data;
        data.append(buf, static_cast<size_t>(n));
        off += n;
    }
}

void sync_file(int fd, const std::string &path) {
    if (without_gil([&] { return ::fsync(fd); }) != 0) raise_os_error(path);
}

/// Make a new name in the directory durable. A file system without the operation is no
/// error; a failing sync is.
void sync_directory(const Target &t) {
    if (!t.dir_syncable) return;
    if (without_gil([&] { return ::fsync(t.dirfd.fd); }) != 0 && errno != EINVAL &&
        errno != EROFS)
        raise_os_error(t.dir);
}

/// The unit in which a write to a regular file is never split by a kill: the kernel stops
/// a write that a fatal signal interrupts only between the pages it copies.
off_t page_size() {
    const long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<off_t>(page) : 4096;
}

/// pwrite() all of `data` at `offset`, in writes that never cross a page boundary, first
/// page first.
void write_by_pages(int fd, const char *data, size_t size, off_t offset, const std::string &path) {
    const off_t page = page_size();
    size_t done = 0;
    while (done < size) {
        const off_t at = offset + static_cast<off_t>(done);
        const size_t room = static_cast<size_t>(page - at % page);
        const ssize_t n = ::pwrite(fd, data + done, std::min(room, size - done), at);
        if (n < 0) {
            if (errno == EINTR) continue;
            raise_os_error(path);
        }
        done += static_cast<size_t>(n);
    }
}

/// Blank [from, to) with spaces, one page at a time from the last page to the first: at
/// any moment the file is its old bytes up to some page boundary, then spaces. The reader
/// skips blank space, so that is the old file's first lines and at most one cut-off line.
void blank_backwards(int fd, off_t from, off_t to, const std::string &path) {
    const off_t page = page_size();
    const std::string spaces(static_cast<size_t>(page), ' ');
    while (to > from) {
        const off_t start = std::max(from, (to - 1) / page * page);
        write_by_pages(fd, spaces.data(), static_cast<size_t>(to - start), start, path);
        to = start;
    }
}

/// Rewrite the target in place with `data`, complete and already produced. Its space is
/// reserved before the first byte changes, so that a full disk or a file size limit
/// fails the save with the previous contents intact. The old bytes past the first page
/// are then blanked from the end backwards, and the new ones written from the start, the
/// first page replacing the old first page whole (padded with spaces where the new
/// contents are shorter); only then is the file cut to length and synced. A process
/// killed at any point leaves the old contents, the new ones, or the first lines of one
/// of them followed by at most one cut-off line and blank space: never lines of both.
void rewrite_in_place(const Target &t, const std::string &data) {
    bool created = false;
    Fd fd(::openat(t.dirfd.fd, t.base.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (fd.fd >= 0) {
        created = true;
    } else if (errno == EEXIST) {
        fd.fd = ::openat(t.dirfd.fd, t.base.c_str(), O_WRONLY | O_CLOEXEC);
    }
    if (fd.fd < 0) raise_os_error(t.path);
    try {
        // The size stays as it is: a kill must not leave the old lines followed by zeros.
        if (!data.empty() &&
            ::fallocate(fd.fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(data.size())) != 0 &&
            errno != EOPNOTSUPP && errno != ENOSYS)
            raise_os_error(t.path);
        const off_t old_size = created ? 0 : ::lseek(fd.fd, 0, SEEK_END);
        if (old_size < 0) raise_os_error(t.path);
        const off_t page = page_size();
        blank_backwards(fd.fd, page, old_size, t.path);
        std::string first(data, 0, std::min(data.size(), static_cast<size_t>(page)));
        first.resize(std::max(first.size(), static_cast<size_t>(std::min(old_size, page))), ' ');
        write_by_pages(fd.fd, first.data(), first.size(), 0, t.path);
        if (data.size() > first.size())
            write_all_from(fd.fd, data, first.size(), t.path);
        if (::ftruncate(fd.fd, static_cast<off_t>(data.size())) != 0) raise_os_error(t.path);
        sync_file(fd.fd, t.path);
        if (fd.close() != 0) raise_os_error(t.path);
        if (created) sync_directory(t);
    } catch (const PyErrSet &) {
        if (created) ::unlinkat(t.dirfd.fd, t.base.c_str(), 0);
        throw;
    }
}

/// Every line, produced into memory through a text file object that encodes as
/// open(path, "w") would.
std::string produce(const std::function<void(PyObject *file)> &write) {
    Ref io = import_module("io");
    Ref buffer = require(PyObject_CallMethod(io.get(), "BytesIO", nullptr));
    Ref file = require(PyObject_CallMethod(io.get(), "TextIOWrapper", "O", buffer.get()));
    write(file.get());
    Ref flushed = require(PyObject_CallMethod(file.get(), "flush", nullptr));
    Ref bytes = require(PyObject_CallMethod(buffer.get(), "getvalue", nullptr));
    char *data;
    Py_ssize_t len;
    require(PyBytes_AsStringAndSize(bytes.get(), &data, &len));
    return std::string(data, static_cast<size_t>(len));
}

/// Write the temporary file through a Python file object. The descriptor stays ours
/// alone (closefd=False): when wrapping it fails, io.open may or may not have closed it
/// already, and it must be closed exactly once whatever happens.
void fill(TraceState &st, const TempFile &tmp, const std::function<void(PyObject *file)> &write) {
    const std::string shown = tmp.name.empty() ? tmp.t.dir : tmp.t.dir + "/" + tmp.name;
    Ref file = require(PyFile_FromFd(tmp.fd.fd, shown.c_str(), "w", -1, nullptr, nullptr,
                                     nullptr, 0));
    try {
        write(file.get());
    } catch (const PyErrSet &) {
        // The temporary file is about to be dropped: only the write's failure matters.
        close_after_failure(st, file.get(), /*report_close_error=*/false);
        throw;
    }
    call_method(file.get(), st.str_close);  // flushes; write errors surface here
}

/// Give the unnamed file `fd` the name `name` in the target's directory.
bool link_unnamed(const Target &t, int fd, const std::string &name) {
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, proc, t.dirfd.fd, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
           ::linkat(fd, "", t.dirfd.fd, name.c_str(), AT_EMPTY_PATH) == 0;
}

/// Give the finished temporary file the target's name.
void put_in_place(TempFile &tmp) {
    const Target &t = tmp.t;
    if (tmp.name.empty()) {
        // A new target gets the file's first name directly (failing if it appeared
        // meanwhile); an existing one is replaced through a hidden name, which exists
        // only between these two calls.
        // Where it cannot be named at all (no /proc and no privilege for AT_EMPTY_PATH),
        // its complete contents are written in place.
        if (!t.exists && link_unnamed(t, tmp.fd.fd, t.base)) return;
        if (!t.exists && errno != EEXIST) return rewrite_in_place(t, read_all(tmp.fd.fd, t.path));
        std::random_device rd;
        std::string name = temp_name(t, rd);
        if (!link_unnamed(t, tmp.fd.fd, name)) return rewrite_in_place(t, read_all(tmp.fd.fd, t.path));
        tmp.name = std::move(name);
    }
    if (::renameat(t.dirfd.fd, tmp.name.c_str(), t.dirfd.fd, t.base.c_str()) == 0) {
        tmp.name.clear();
        return;
    }
    // A target that is a mount point of its own (a bind-mounted file) cannot be renamed
    // over: write it in place instead, from the complete temporary file.
    const std::string shown = t.dir + "/" + tmp.name;
    if (errno != EBUSY && errno != EXDEV) raise_os_error(shown, &t.path);
    // The temporary file is read through its descriptor: its name goes at once, so that a
    // save killed while reading it or rewriting the target leaves no file behind.
    if (::unlinkat(t.dirfd.fd, tmp.name.c_str(), 0) == 0) tmp.name.clear();
    rewrite_in_place(t, read_all(tmp.fd.fd, shown));
}

/// Whether the target is a mount point of its own (a bind-mounted file), which rename()
/// cannot replace: its mount id differs from its directory's. Asked through the statx
/// system call directly (the C library's wrapper is too recent for the oldest systems the
/// wheels run on), reading the kernel's fixed layout: the mask at byte 0, the mount id at
/// byte 144. False where the kernel cannot tell (before Linux 5.8): the rename then
/// finds out.
bool is_mount_point(const Target &t) {
#ifdef SYS_statx
    constexpr unsigned kMntId = 0x1000;  // STATX_MNT_ID
    auto mount_id = [&](const char *name, int flags, uint64_t &id) {
        alignas(8) unsigned char buf[256] = {};
        if (::syscall(SYS_statx, t.dirfd.fd, name, flags, kMntId, buf) != 0) return false;
        uint32_t mask;
        std::memcpy(&mask, buf, sizeof mask);
        std::memcpy(&id, buf + 144, sizeof id);
        return (mask & kMntId) != 0;
    };
    uint64_t file_id = 0, dir_id = 0;
    return mount_id(t.base.c_str(), AT_SYMLINK_NOFOLLOW, file_id) &&
           mount_id("", AT_EMPTY_PATH, dir_id) && file_id != dir_id;
#else
    (void)t;
    return false;
#endif
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

    Target t;
    t.path = fs_bytes(real.get());
    const size_t slash = t.path.rfind('/');
    if (slash == std::string::npos) return false;  // realpath gives an absolute path
    t.dir = slash == 0 ? std::string("/") : t.path.substr(0, slash);
    t.base = t.path.substr(slash + 1);
    bool unknown;
    t.exists = stat_through_os(st, real.get(), t.old, unknown);
    if (unknown) return false;
    // Directories, devices and pipes are opened as open("w") opens them.
    if (t.exists && !S_ISREG(t.old.st_mode)) return false;

    t.dirfd.fd = ::open(t.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    t.dir_syncable = t.dirfd.fd >= 0;
    if (t.dirfd.fd < 0 && errno == EACCES)
        t.dirfd.fd = ::open(t.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (t.dirfd.fd < 0) raise_os_error(t.dir);

    // A replacement would belong to the saver: a file someone else owns is rewritten in
    // place, keeping its owner and inode. "May write" is judged for the effective user,
    // as open("w") would judge it.
    const bool replaceable =
        !t.exists || (t.old.st_uid == ::geteuid() &&
                      ::faccessat(AT_FDCWD, t.path.c_str(), W_OK, AT_EACCESS) == 0);
    TempFile tmp{t, Fd(), std::string()};
    // Replacing a file, the temporary one is its owner's alone until it is complete: the
    // target's group (which may be the saver's, or not) and bits come after, with its
    // attributes. A new file gets what open(path, "w") gives from the start, as its group
    // is the one the finished file has.
    const mode_t mode = t.exists ? 0600 : 0666;
    // A bind-mounted target is rewritten in place from the start: a temporary file would
    // only be read back, and could be left behind by a kill.
    if (!replaceable || (t.exists && is_mount_point(t)) || !create_temp(tmp, mode)) {
        rewrite_in_place(t, produce(write));
        return true;
    }
    fill(st, tmp, write);
    if (t.exists) keep_attributes(t, tmp.fd.fd);
    sync_file(tmp.fd.fd, t.path);
    put_in_place(tmp);
    sync_directory(t);
    return true;
}

}  // namespace orrinth::trace
