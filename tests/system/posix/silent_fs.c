/* A tiny FUSE file system that never answers one chosen request: the
 * server a folder on an unreachable network share or a hung user-space file
 * system stands for. It speaks the kernel's protocol on /dev/fuse itself
 * and mounts with mount(2), so it needs root and nothing installed.
 *
 *   silent_fs MOUNTPOINT OP GATE_FD
 *
 * The tree it serves:
 *   first, second   one regular file with two links
 *   sub/            a folder
 *   sub/hang        what OP asks of: a folder (opendir, readdir), a file
 *                   (getattr: the stat of its name) or a symbolic link
 *                   (readlink)
 *
 * OP is opendir, readdir, getattr or readlink: that request for sub/hang is
 * taken from the kernel and never answered, an interrupt of it is ignored.
 * On GATE_FD it writes "m" once mounted (or "e" and the reason when the
 * mount is refused), then "h" when it has taken the request it will not
 * answer. It serves until it is killed: closing /dev/fuse then aborts the
 * connection, and every request still waiting fails. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/fuse.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

enum { kRoot = 1, kFile = 2, kSub = 3, kHang = 4 };
enum Op { kOpendir, kReaddir, kGetattr, kReadlink };

static int fuse_fd = -1;
static int gate_fd = -1;
static enum Op silent_op;
static int told_hang = 0;

static void Gate(const char* text) {
  ssize_t put = write(gate_fd, text, strlen(text));
  (void)put;
}

static void Reply(uint64_t unique, int error, const void* body, size_t size) {
  struct fuse_out_header out;
  out.len = (uint32_t)(sizeof out + size);
  out.error = -error;
  out.unique = unique;
  struct iovec parts[2] = {{&out, sizeof out}, {(void*)body, size}};
  /* A request interrupted meanwhile is gone: ENOENT is no failure here. */
  ssize_t put = writev(fuse_fd, parts, body != NULL ? 2 : 1);
  (void)put;
}

static uint32_t ModeOf(uint64_t node) {
  switch (node) {
    case kRoot:
    case kSub:
      return S_IFDIR | 0755;
    case kFile:
      return S_IFREG | 0644;
    default:
      if (silent_op == kGetattr) return S_IFREG | 0644;
      if (silent_op == kReadlink) return S_IFLNK | 0777;
      return S_IFDIR | 0755;
  }
}

static void FillAttr(uint64_t node, struct fuse_attr* attr) {
  memset(attr, 0, sizeof *attr);
  attr->ino = node;
  attr->mode = ModeOf(node);
  attr->nlink = node == kFile ? 2 : (S_ISDIR(attr->mode) ? 2 : 1);
  attr->size = S_ISLNK(attr->mode) ? 5 : 0;
  attr->blksize = 4096;
  attr->mtime = attr->ctime = attr->atime = 1700000000;
}

/* Whether the request is the one never answered. */
static int Silent(uint32_t opcode, uint64_t node, const char* name) {
  switch (silent_op) {
    case kOpendir:
      return opcode == FUSE_OPENDIR && node == kHang;
    case kReaddir:
      return (opcode == FUSE_READDIR || opcode == FUSE_READDIRPLUS) && node == kHang;
    case kGetattr:
      return (opcode == FUSE_GETATTR && node == kHang) ||
             (opcode == FUSE_LOOKUP && node == kSub && strcmp(name, "hang") == 0);
    case kReadlink:
      return opcode == FUSE_READLINK && node == kHang;
  }
  return 0;
}

struct Entry {
  const char* name;
  uint64_t node;
};

static const struct Entry kRootEntries[] = {{"first", kFile}, {"second", kFile}, {"sub", kSub}};
static const struct Entry kSubEntries[] = {{"hang", kHang}};

static void Lookup(const struct fuse_in_header* in, const char* name) {
  const struct Entry* entries = NULL;
  size_t count = 0;
  if (in->nodeid == kRoot) {
    entries = kRootEntries;
    count = sizeof kRootEntries / sizeof kRootEntries[0];
  } else if (in->nodeid == kSub) {
    entries = kSubEntries;
    count = 1;
  }
  for (size_t i = 0; i < count; ++i) {
    if (strcmp(entries[i].name, name) != 0) continue;
    struct fuse_entry_out entry;
    memset(&entry, 0, sizeof entry);
    entry.nodeid = entries[i].node;
    entry.entry_valid = entry.attr_valid = 3600;
    FillAttr(entries[i].node, &entry.attr);
    Reply(in->unique, 0, &entry, sizeof entry);
    return;
  }
  Reply(in->unique, ENOENT, NULL, 0);
}

static void Readdir(const struct fuse_in_header* in, const struct fuse_read_in* read_in) {
  const struct Entry* entries = NULL;
  size_t count = 0;
  if (in->nodeid == kRoot) {
    entries = kRootEntries;
    count = sizeof kRootEntries / sizeof kRootEntries[0];
  } else if (in->nodeid == kSub) {
    entries = kSubEntries;
    count = 1;
  }
  char out[4096];
  size_t used = 0;
  for (size_t i = read_in->offset; i < count; ++i) {
    const size_t length = strlen(entries[i].name);
    const size_t size = FUSE_DIRENT_ALIGN(FUSE_NAME_OFFSET + length);
    if (used + size > sizeof out || used + size > read_in->size) break;
    struct fuse_dirent* dirent = (struct fuse_dirent*)(out + used);
    memset(dirent, 0, size);
    dirent->ino = entries[i].node;
    dirent->off = i + 1;
    dirent->namelen = (uint32_t)length;
    dirent->type = (ModeOf(entries[i].node) & S_IFMT) >> 12;
    memcpy(dirent->name, entries[i].name, length);
    used += size;
  }
  Reply(in->unique, 0, out, used);
}

static void Serve(void) {
  static char buffer[FUSE_MIN_READ_BUFFER + 65536];
  for (;;) {
    const ssize_t got = read(fuse_fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR || errno == ENOENT || errno == EAGAIN) continue;
      return; /* ENODEV: unmounted */
    }
    if ((size_t)got < sizeof(struct fuse_in_header)) continue;
    const struct fuse_in_header* in = (const struct fuse_in_header*)buffer;
    const char* body = buffer + sizeof *in;
    const char* name = in->opcode == FUSE_LOOKUP ? body : "";
    if (Silent(in->opcode, in->nodeid, name)) {
      if (!told_hang) Gate("h");
      told_hang = 1;
      continue; /* taken, and never answered */
    }
    switch (in->opcode) {
      case FUSE_INIT: {
        struct fuse_init_out init;
        memset(&init, 0, sizeof init);
        init.major = FUSE_KERNEL_VERSION;
        init.minor = FUSE_KERNEL_MINOR_VERSION;
        init.max_write = 65536;
        init.max_background = 16;
        init.congestion_threshold = 12;
        init.time_gran = 1;
        Reply(in->unique, 0, &init, sizeof init);
        break;
      }
      case FUSE_LOOKUP:
        Lookup(in, name);
        break;
      case FUSE_GETATTR: {
        struct fuse_attr_out attr;
        memset(&attr, 0, sizeof attr);
        attr.attr_valid = 3600;
        FillAttr(in->nodeid, &attr.attr);
        Reply(in->unique, 0, &attr, sizeof attr);
        break;
      }
      case FUSE_READLINK:
        Reply(in->unique, 0, "first", 5);
        break;
      case FUSE_OPENDIR:
      case FUSE_OPEN: {
        struct fuse_open_out open_out;
        memset(&open_out, 0, sizeof open_out);
        Reply(in->unique, 0, &open_out, sizeof open_out);
        break;
      }
      case FUSE_READDIR:
        Readdir(in, (const struct fuse_read_in*)body);
        break;
      case FUSE_RELEASEDIR:
      case FUSE_RELEASE:
      case FUSE_FLUSH:
        Reply(in->unique, 0, NULL, 0);
        break;
      case FUSE_STATFS: {
        struct fuse_statfs_out statfs_out;
        memset(&statfs_out, 0, sizeof statfs_out);
        statfs_out.st.bsize = statfs_out.st.frsize = 4096;
        statfs_out.st.namelen = 255;
        Reply(in->unique, 0, &statfs_out, sizeof statfs_out);
        break;
      }
      case FUSE_FORGET:
      case FUSE_BATCH_FORGET:
      case FUSE_INTERRUPT: /* the silent request stays silent */
        break;
      case FUSE_DESTROY:
        Reply(in->unique, 0, NULL, 0);
        return;
      default:
        Reply(in->unique, ENOSYS, NULL, 0);
        break;
    }
  }
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: silent_fs MOUNTPOINT opendir|readdir|getattr|readlink GATE_FD\n");
    return 2;
  }
  const char* ops[] = {"opendir", "readdir", "getattr", "readlink"};
  int known = 0;
  for (int i = 0; i < 4; ++i) {
    if (strcmp(argv[2], ops[i]) == 0) {
      silent_op = (enum Op)i;
      known = 1;
    }
  }
  gate_fd = atoi(argv[3]);
  if (!known) {
    fprintf(stderr, "silent_fs: unknown operation %s\n", argv[2]);
    return 2;
  }
  fuse_fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse_fd < 0) {
    char reason[256];
    snprintf(reason, sizeof reason, "e/dev/fuse: %s", strerror(errno));
    Gate(reason);
    return 3;
  }
  char options[128];
  snprintf(options, sizeof options, "fd=%d,rootmode=40000,user_id=0,group_id=0", fuse_fd);
  if (mount("silent", argv[1], "fuse.silent", MS_NOSUID | MS_NODEV, options) != 0) {
    char reason[256];
    snprintf(reason, sizeof reason, "emount: %s", strerror(errno));
    Gate(reason);
    return 3;
  }
  Gate("m");
  Serve();
  return 0;
}
