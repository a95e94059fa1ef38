#include "platform/posix/path_text.h"

namespace quorrex {
namespace {

// Splits `text` at "/" and applies each name to `parts`.
void ApplyNames(std::u16string_view text, std::vector<std::u16string_view>& parts) {
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(u'/', pos);
    if (end == std::u16string_view::npos) end = text.size();
    const std::u16string_view name = text.substr(pos, end - pos);
    if (name == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!name.empty() && name != u".") {
      parts.push_back(name);
    }
    pos = end + 1;
  }
}

std::string UnescapeOctal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3' &&
        text[i + 2] >= '0' && text[i + 2] <= '7' && text[i + 3] >= '0' && text[i + 3] <= '7') {
      out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                      (text[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The space-separated fields of one table line.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    size_t end = pos;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
    if (end > pos) fields.push_back(line.substr(pos, end - pos));
    pos = end;
  }
  return fields;
}

// A decimal number of the table, whole; false for anything else.
bool Number(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

template <typename LineFn>
void ForEachLine(std::string_view text, LineFn fn) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    fn(text.substr(pos, end - pos));
    pos = end + 1;
  }
}

}  // namespace

std::u16string MakeFullPath(std::u16string_view cwd, std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  if (path.empty() || path.front() != u'/') ApplyNames(cwd, parts);
  ApplyNames(path, parts);
  std::u16string full;
  for (const auto& name : parts) {
    full += u'/';
    full += name;
  }
  if (full.empty() || (!path.empty() && path.back() == u'/')) full += u'/';
  return full;
}

std::vector<MountEntry> ParseMountInfo(std::string_view text) {
  std::vector<MountEntry> mounts;
  ForEachLine(text, [&](std::string_view line) {
    const auto fields = Fields(line);
    // id parent major:minor root point options [optional...] - type source ...
    size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (fields.size() < 5 || dash + 1 >= fields.size()) return;
    MountEntry mount;
    mount.point = UnescapeOctal(fields[4]);
    mount.type = UnescapeOctal(fields[dash + 1]);
    if (dash + 2 < fields.size()) mount.source = UnescapeOctal(fields[dash + 2]);
    mount.device = fields[2];
    mount.root = UnescapeOctal(fields[3]);
    // A bind whose folder was deleted: the kernel adds its marker.
    constexpr std::string_view kDeleted = "//deleted";
    if (mount.root.size() > kDeleted.size() && mount.root.ends_with(kDeleted)) {
      mount.root.resize(mount.root.size() - kDeleted.size());
      mount.deleted = true;
    }
    if (fields.size() > 5) mount.options = fields[5];
    mount.hasId = Number(fields[0], mount.id) && Number(fields[1], mount.parent);
    mounts.push_back(std::move(mount));
  });
  return mounts;
}

std::vector<MountEntry> ParseProcMounts(std::string_view text) {
  std::vector<MountEntry> mounts;
  ForEachLine(text, [&](std::string_view line) {
    const auto fields = Fields(line);
    if (fields.size() < 3) return;
    MountEntry mount;
    mount.point = UnescapeOctal(fields[1]);
    mount.type = UnescapeOctal(fields[2]);
    mount.source = UnescapeOctal(fields[0]);
    if (fields.size() > 3) mount.options = fields[3];
    mounts.push_back(std::move(mount));
  });
  return mounts;
}

const MountEntry* FindMountFor(const std::vector<MountEntry>& mounts, std::string_view path) {
  if (path.empty() || path.front() != '/') return nullptr;
  const MountEntry* best = nullptr;
  size_t bestLength = 0;
  for (const auto& mount : mounts) {
    std::string_view point = mount.point;
    while (point.size() > 1 && point.back() == '/') point.remove_suffix(1);
    if (point.empty() || point.front() != '/') continue;
    const bool holds = point == "/" || (path.starts_with(point) &&
                                        (path.size() == point.size() || path[point.size()] == '/'));
    // ">=": of mounts stacked on one point the later one is on top.
    if (holds && (best == nullptr || point.size() >= bestLength)) {
      best = &mount;
      bestLength = point.size();
    }
  }
  return best;
}

namespace {

// `point` without the "/" it may end with, "/" itself left whole.
std::string_view Trimmed(std::string_view point) {
  while (point.size() > 1 && point.back() == '/') point.remove_suffix(1);
  return point;
}

// Whether `point` is `path` or a folder above it.
bool HoldsPath(std::string_view point, std::string_view path) {
  point = Trimmed(point);
  if (point == "/") return true;
  return path.starts_with(point) && (path.size() == point.size() || path[point.size()] == '/');
}

}  // namespace

MountTarget TargetOfMount(const std::vector<MountEntry>& mounts, size_t index) {
  const MountEntry& mount = mounts[index];
  MountTarget target;
  target.mount = mount;
  // Without a device (the older table) every mount is a volume.
  bool bind = false;
  for (size_t i = 0; i < index && !bind && mount.root != "/"; ++i) {
    bind = !mount.device.empty() && mounts[i].device == mount.device;
  }
  if (!bind) {
    target.text = mount.source.empty() ? mount.type : mount.source;
    target.text += " (" + mount.type + ")";
    return target;
  }
  target.volume = false;
  const auto sourceForm = [&] {
    return (mount.source.empty() ? mount.type : mount.source) + "[" + mount.root + "]";
  };
  // A deleted folder is visible nowhere.
  if (mount.deleted) {
    target.text = sourceForm();
    return target;
  }
  const MountEntry* best = nullptr;
  std::string bestText;
  for (size_t i = 0; i < index; ++i) {
    const MountEntry& other = mounts[i];
    if (other.device != mount.device || other.deleted) continue;
    std::string_view root = other.root;
    while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
    const bool holds =
        root == "/" || (mount.root.starts_with(root) &&
                        (mount.root.size() == root.size() || mount.root[root.size()] == '/'));
    if (!holds || (best != nullptr && root.size() <= best->root.size())) continue;
    std::string_view rest = std::string_view(mount.root).substr(root == "/" ? 0 : root.size());
    std::string text = other.point;
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    if (!rest.empty()) {
      if (text.back() != '/') text += '/';
      text += rest;
    }
    // A mount on a folder of that path below the point covers it, in
    // whatever order the table lists the two; so does a later one on the
    // point itself or above it. The path shows something else now.
    const size_t pointLength = Trimmed(other.point).size();
    bool covered = false;
    for (size_t j = 0; j < mounts.size() && !covered; ++j) {
      if (j == index || j == i || !HoldsPath(mounts[j].point, text)) continue;
      covered = Trimmed(mounts[j].point).size() > pointLength || j > i;
    }
    if (covered) continue;
    best = &other;
    bestText = std::move(text);
  }
  target.text = best == nullptr ? sourceForm() : bestText;
  return target;
}

bool FsTypeHoldsSymlinks(std::string_view type) {
  // FAT under FUSE holds no links either.
  for (std::string_view fat : {"vfat", "msdos", "exfat", "fat", "umsdos", "fuse.fusefat",
                               "fuse.exfat", "fuse.exfat-fuse", "fuseblk.exfat"}) {
    if (type == fat) return false;
  }
  return true;
}

bool FsTypeMayBeNtfs3g(std::string_view type) {
  for (std::string_view fuse : {"fuse", "fuseblk", "ntfs-3g", "lowntfs-3g"}) {
    if (type == fuse) return true;
  }
  // A subtype names the program: ntfs-3g, lowntfs-3g.
  if (type.starts_with("fuse.") || type.starts_with("fuseblk.")) {
    return type.find("ntfs") != std::string_view::npos;
  }
  return false;
}

}  // namespace quorrex
