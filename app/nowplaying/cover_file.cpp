#include "nowplaying/cover_file.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <cerrno>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace lantern {

namespace {

constexpr off_t largest = 10 * 1024 * 1024;
constexpr int longestSide = 1024;

// The closing of a descriptor when it goes out of scope.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// Whether the opened file lies in one of the kernel's own trees, judged by
// what was opened (symbolic links and bind mounts resolved), not by the name.
bool insideKernelTrees(int fd) {
    struct statfs filesystem {};
    if (::fstatfs(fd, &filesystem) != 0) return true;
    switch (filesystem.f_type) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEVPTS_SUPER_MAGIC:
    case DEBUGFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
        return true;
    default:
        break;
    }
    char target[4096];
    const auto length =
        ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    if (length <= 0) return true;
    const std::string_view opened(target, static_cast<std::size_t>(length));
    for (const std::string_view tree : {"/proc/", "/sys/", "/dev/"})
        if (opened.starts_with(tree)) return true;
    return false;
}

} // namespace

std::optional<Cover> coverFromFile(const QString& path) {
    // Non-blocking, so that a FIFO named as artwork cannot hold the reader.
    const Descriptor file{
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0) return std::nullopt;
    struct stat about {};
    if (::fstat(file.fd, &about) != 0 || !S_ISREG(about.st_mode) || about.st_size <= 8 ||
        about.st_size > largest || insideKernelTrees(file.fd))
        return std::nullopt;

    QByteArray bytes(static_cast<qsizetype>(about.st_size) + 1, Qt::Uninitialized);
    qsizetype held = 0;
    while (held < bytes.size()) {
        const auto got =
            ::read(file.fd, bytes.data() + held, static_cast<size_t>(bytes.size() - held));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        held += got;
    }
    if (held > largest || held <= 8) return std::nullopt; // it grew meanwhile
    bytes.truncate(held);
    return coverFromBytes(std::move(bytes));
}

std::optional<Cover> coverFromBytes(QByteArray bytes) {
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setDecideFormatFromContent(true);
    const auto size = reader.size();
    if (size.isValid() && std::max(size.width(), size.height()) > longestSide)
        reader.setScaledSize(size.scaled(longestSide, longestSide, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    if (std::max(image.width(), image.height()) > longestSide)
        image =
            image.scaled(longestSide, longestSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);

    QByteArray encoded;
    QBuffer out(&encoded);
    out.open(QIODevice::WriteOnly);
    const bool transparent = image.hasAlphaChannel();
    if (!image.save(&out, transparent ? "PNG" : "JPEG", transparent ? -1 : 90)) return std::nullopt;
    return Cover{std::vector<std::uint8_t>(encoded.begin(), encoded.end()),
                 transparent ? "image/png" : "image/jpeg"};
}

} // namespace lantern
