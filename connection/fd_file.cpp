#include "fd_file.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

// The library asks a GFile for its name and size (query_info), reads it (read_fn, which GIO's
// default asynchronous calls run on a thread of their own) and names it in debug output (basename,
// path). Nothing here touches the file system.
struct FdFile {
    GObject parent;
    int fd;
    gchar* name;
};
struct FdFileClass {
    GObjectClass parent;
};

struct FdStream {
    GFileInputStream parent;
    int fd; // the file's own, borrowed: the file outlives its streams
    GFile* file;
    goffset offset;
};
struct FdStreamClass {
    GFileInputStreamClass parent;
};

namespace
{
void fdFileIfaceInit(GFileIface* iface);
} // namespace

G_DEFINE_TYPE_WITH_CODE(FdFile, fd_file, G_TYPE_OBJECT, G_IMPLEMENT_INTERFACE(G_TYPE_FILE, fdFileIfaceInit))
G_DEFINE_TYPE(FdStream, fd_stream, G_TYPE_FILE_INPUT_STREAM)

namespace
{

FdFile* self(GFile* file)
{
    return reinterpret_cast<FdFile*>(file);
}

gssize streamRead(GInputStream* stream, void* buffer, gsize count, GCancellable* cancellable, GError** error)
{
    auto* s = reinterpret_cast<FdStream*>(stream);
    if (g_cancellable_set_error_if_cancelled(cancellable, error))
        return -1;
    ssize_t n;
    do
        n = pread(s->fd, buffer, count, s->offset);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        const int code = errno;
        g_set_error(error, G_IO_ERROR, g_io_error_from_errno(code), "%s", g_strerror(code));
        return -1;
    }
    s->offset += n;
    return n;
}

goffset streamTell(GFileInputStream* stream)
{
    return reinterpret_cast<FdStream*>(stream)->offset;
}

GFile* fileDup(GFile* file)
{
    return fdFileNew(dup(self(file)->fd), QString::fromUtf8(self(file)->name));
}

guint fileHash(GFile* file)
{
    return g_direct_hash(file);
}

gboolean fileEqual(GFile* a, GFile* b)
{
    return a == b;
}

gboolean fileIsNative(GFile*)
{
    return FALSE;
}

gboolean fileHasUriScheme(GFile*, const char*)
{
    return FALSE;
}

char* fileUriScheme(GFile*)
{
    return g_strdup("fd");
}

char* fileBasename(GFile* file)
{
    return g_strdup(self(file)->name);
}

char* filePath(GFile*)
{
    return nullptr; // no path: the window opened it
}

char* fileUri(GFile* file)
{
    gchar* escaped = g_uri_escape_string(self(file)->name, nullptr, FALSE);
    gchar* uri = g_strdup_printf("fd:%s", escaped);
    g_free(escaped);
    return uri;
}

GFile* fileParent(GFile*)
{
    return nullptr;
}

GFileInfo* fileQueryInfo(GFile* file, const char*, GFileQueryInfoFlags, GCancellable*, GError** error)
{
    struct stat st {
    };
    if (fstat(self(file)->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_NOT_REGULAR_FILE, "not a regular file");
        return nullptr;
    }
    GFileInfo* info = g_file_info_new();
    g_file_info_set_name(info, self(file)->name);
    g_file_info_set_display_name(info, self(file)->name);
    g_file_info_set_edit_name(info, self(file)->name);
    g_file_info_set_file_type(info, G_FILE_TYPE_REGULAR);
    g_file_info_set_size(info, st.st_size);
    return info;
}

GFileInputStream* fileRead(GFile* file, GCancellable* cancellable, GError** error)
{
    if (g_cancellable_set_error_if_cancelled(cancellable, error))
        return nullptr;
    auto* stream = static_cast<FdStream*>(g_object_new(fd_stream_get_type(), nullptr));
    stream->fd = self(file)->fd;
    stream->file = G_FILE(g_object_ref(file));
    return G_FILE_INPUT_STREAM(stream);
}

void fdFileIfaceInit(GFileIface* iface)
{
    iface->dup = fileDup;
    iface->hash = fileHash;
    iface->equal = fileEqual;
    iface->is_native = fileIsNative;
    iface->has_uri_scheme = fileHasUriScheme;
    iface->get_uri_scheme = fileUriScheme;
    iface->get_basename = fileBasename;
    iface->get_path = filePath;
    iface->get_uri = fileUri;
    iface->get_parse_name = fileUri;
    iface->get_parent = fileParent;
    iface->query_info = fileQueryInfo;
    iface->read_fn = fileRead;
}

} // namespace

static void fd_file_init(FdFile* file)
{
    file->fd = -1;
}

static void fd_file_finalize(GObject* object)
{
    auto* file = reinterpret_cast<FdFile*>(object);
    if (file->fd >= 0)
        close(file->fd);
    g_free(file->name);
    G_OBJECT_CLASS(fd_file_parent_class)->finalize(object);
}

static void fd_file_class_init(FdFileClass* klass)
{
    G_OBJECT_CLASS(klass)->finalize = fd_file_finalize;
}

static void fd_stream_init(FdStream*) {}

static void fd_stream_finalize(GObject* object)
{
    g_clear_object(&reinterpret_cast<FdStream*>(object)->file);
    G_OBJECT_CLASS(fd_stream_parent_class)->finalize(object);
}

static void fd_stream_class_init(FdStreamClass* klass)
{
    G_OBJECT_CLASS(klass)->finalize = fd_stream_finalize;
    G_INPUT_STREAM_CLASS(klass)->read_fn = streamRead;
    G_FILE_INPUT_STREAM_CLASS(klass)->tell = streamTell;
}

GFile* fdFileNew(int fd, const QString& name)
{
    auto* file = static_cast<FdFile*>(g_object_new(fd_file_get_type(), nullptr));
    file->fd = fd;
    file->name = g_strdup(name.toUtf8().constData());
    return G_FILE(file);
}
