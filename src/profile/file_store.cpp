#include "file_store.h"

#include "system_files.h"

#include <cerrno>
#include <cstring>
#include <system_error>

namespace fs = std::filesystem;

namespace ombrix::files
{

namespace
{

Replaced writeInPlace(const fs::path& target, const Content& content, std::string& failure)
{
    // The new content is put together first (it may be made of parts of the file itself), then
    // poured over the old.
    std::FILE* staged = std::tmpfile();
    if (!staged) {
        failure = std::strerror(errno);
        return Replaced::No;
    }
    bool ok = content.write(staged, failure);
    content.release();
    std::FILE* out = ok ? std::fopen(target.string().c_str(), "wb") : nullptr;
    if (ok && !out) {
        failure = std::strerror(errno);
        ok = false;
    }
    if (ok) {
        std::rewind(staged);
        char buffer[1 << 15];
        size_t n = 0;
        while (ok && (n = std::fread(buffer, 1, sizeof buffer, staged)) > 0) {
            if (std::fwrite(buffer, 1, n, out) != n) {
                failure = std::strerror(errno);
                ok = false;
            }
        }
        if (ok && std::ferror(staged)) {
            failure = "cannot read back the new content";
            ok = false;
        }
        if (ok && std::fflush(out) != 0) {
            failure = std::strerror(errno);
            ok = false;
        }
        if (ok && !syncToDisk(out)) {
            failure = std::strerror(errno);
            ok = false;
        }
    }
    if (out && std::fclose(out) != 0 && ok) {
        failure = std::strerror(errno);
        ok = false;
    }
    std::fclose(staged);
    return ok ? Replaced::Yes : Replaced::Unsure;
}

} // namespace

Replaced replaceFile(const std::string& path,
                     bool exists,
                     const Content& content,
                     std::string& failure)
{
    std::error_code ec;
    fs::path target = path;
    if (fs::is_symlink(fs::symlink_status(target, ec))) {
        const fs::path resolved = fs::canonical(target, ec);
        if (!ec) {
            target = resolved;
        }
    }
    const fs::path temp =
      target.parent_path() / (target.filename().string() + ".tmp" + std::to_string(processId()));
    std::FILE* f = createTemporary(temp);
    if (!f) {
        const int why = errno;
        if (exists && (why == EACCES || why == EPERM || why == EROFS)) {
            return writeInPlace(target, content, failure);
        }
        failure = std::strerror(why);
        return Replaced::No;
    }
    bool ok = content.write(f, failure);
    if (ok && !syncToDisk(f)) {
        failure = std::strerror(errno);
        ok = false;
    }
    if (std::fclose(f) != 0 && ok) {
        failure = std::strerror(errno);
        ok = false;
    }
    if (ok && exists) {
        fs::permissions(temp, fs::status(target, ec).permissions(), ec);
    }
    if (ok) {
        content.release();
        fs::rename(temp, target, ec);
        if (ec) {
            failure = ec.message();
            ok = false;
        }
    }
    if (!ok) {
        fs::remove(temp, ec);
        return Replaced::No;
    }
    removeLeftovers(target);
    return Replaced::Yes;
}

} // namespace ombrix::files
