// SPDX-License-Identifier: GPL-3.0-or-later
// The one settings folder and the move of the old folder's files into it; see
// settings.h.
#include "settings.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace labbench {

namespace {

// The folder names: the one in use, and the one the graphs' settings had
// before (named after the organisation, not the package).
constexpr const char *kFolderName = "labbench";
constexpr const char *kOldFolderName = "LabBench";

std::string config_home() {
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return config;
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config";
    return {};
}

void say(const std::string &message) {
    std::fprintf(stderr, "labbench settings: %s\n", message.c_str());
}

// Moves `from` to `to` unless `to` exists. Returns 0, EEXIST when `to` holds a
// file already, or the errno of the failure.
int move_unless_there(const std::string &from, const std::string &to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system that cannot refuse to replace: look first.
    struct stat info;
    if (::lstat(to.c_str(), &info) == 0) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

struct Folder {
    std::string path;
    std::string old_path;
    std::set<std::string> left_behind;  // files whose move failed: still read there
};

// Moves what the old folder holds into the new one, once per configuration
// home; `folder.left_behind` names what stays to be read where it is.
void move_old_files(Folder &folder) {
    struct stat old_info, new_info;
    if (::stat(folder.old_path.c_str(), &old_info) != 0 || !S_ISDIR(old_info.st_mode)) return;
    // The same folder under two names (a link, a case-blind file system).
    if (::stat(folder.path.c_str(), &new_info) == 0 && new_info.st_dev == old_info.st_dev &&
        new_info.st_ino == old_info.st_ino)
        return;
    DIR *dir = ::opendir(folder.old_path.c_str());
    if (dir == nullptr) {
        say("cannot read " + folder.old_path + " (" + std::strerror(errno) +
            "); the settings there are not moved to " + folder.path);
        return;
    }
    std::set<std::string> names;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    ::closedir(dir);
    if (names.empty()) {
        ::rmdir(folder.old_path.c_str());
        return;
    }
    if (::mkdir(folder.path.c_str(), 0700) != 0 && errno != EEXIST) {
        say("cannot make " + folder.path + " (" + std::strerror(errno) + "); the settings in " +
            folder.old_path + " are still read there");
        folder.left_behind = names;
        return;
    }
    for (const std::string &name : names) {
        const std::string from = folder.old_path + "/" + name, to = folder.path + "/" + name;
        const int error = move_unless_there(from, to);
        if (error == 0) {
            say("moved " + from + " to " + to);
        } else if (error == EEXIST) {
            say(from + " is no longer read: " + to + " holds that setting (remove the old file)");
        } else if (error == ENOENT && ::access(to.c_str(), F_OK) == 0) {
            // Moved meanwhile by another LabBench program starting at the same time.
        } else {
            say("cannot move " + from + " to " + to + " (" + std::strerror(error) +
                "); it is still read where it is");
            folder.left_behind.insert(name);
        }
    }
    ::rmdir(folder.old_path.c_str());  // only when it is empty now
}

const Folder &folder_for(const std::string &home) {
    static std::mutex mutex;
    static std::map<std::string, Folder> folders;  // by configuration home
    std::lock_guard lock(mutex);
    auto [it, added] = folders.try_emplace(home);
    if (added) {
        it->second.path = home + "/" + kFolderName;
        it->second.old_path = home + "/" + kOldFolderName;
        move_old_files(it->second);
    }
    return it->second;
}

}  // namespace

std::string settings_folder() {
    const std::string home = config_home();
    return home.empty() ? std::string() : folder_for(home).path;
}

std::string settings_file(const std::string &name) {
    const std::string home = config_home();
    if (home.empty()) return {};
    const Folder &folder = folder_for(home);
    return (folder.left_behind.count(name) ? folder.old_path : folder.path) + "/" + name;
}

}  // namespace labbench
