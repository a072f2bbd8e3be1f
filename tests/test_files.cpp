#include "test_files.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

TempDir::TempDir(mode_t mode)
{
    char pattern[] = "/tmp/kavex-test-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    if (chmod(path_.c_str(), mode) != 0)
        throw std::runtime_error("cannot give " + path_ + " its mode");
}

TempDir::~TempDir()
{
    const std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

namespace {
std::string describeEntries(const std::string& root, const std::string& prefix);
}  // namespace

std::string describeTree(const std::string& root) { return describeEntries(root, ""); }

namespace {
std::string describeEntries(const std::string& root, const std::string& prefix)
{
    std::string text;
    DIR* directory = opendir(root.c_str());
    if (!directory)
        return root + ": cannot be listed\n";
    std::vector<std::string> names;
    while (const dirent* entry = readdir(directory))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    closedir(directory);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = root + "/" + name;
        struct stat status;
        if (lstat(path.c_str(), &status) != 0)
            continue;
        char line[64];
        std::snprintf(line, sizeof line, " %o %u:%u ", static_cast<unsigned>(status.st_mode),
                      static_cast<unsigned>(status.st_uid), static_cast<unsigned>(status.st_gid));
        text += prefix + name + line;
        if (S_ISREG(status.st_mode)) {
            text += readFile(path);
        } else if (S_ISLNK(status.st_mode)) {
            char target[4096] = {};
            text += "-> " + std::string(target, static_cast<size_t>(std::max<ssize_t>(
                                                    0, readlink(path.c_str(), target, sizeof target))));
        }
        text += "\n";
        if (S_ISDIR(status.st_mode))
            text += describeEntries(path, prefix + name + "/");
    }
    return text;
}
}  // namespace

void makeDirectory(const std::string& path)
{
    if (mkdir(path.c_str(), 0777) != 0 || chmod(path.c_str(), 0777) != 0)
        throw std::runtime_error("cannot make " + path);
}

std::string dateText(int year, int month, int day)
{
    static const char* const months[] = {"Jan", "Fev", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[32];
    std::snprintf(text, sizeof text, "%2d-%s-%04d", day, months[month - 1], year);
    return std::string(text, 11) + std::string(1, '\0');
}

time_t utcTime(int year, int month, int day, int hour, int minute, int second)
{
    struct tm broken = {};
    broken.tm_year = year - 1900;
    broken.tm_mon = month - 1;
    broken.tm_mday = day;
    broken.tm_hour = hour;
    broken.tm_min = minute;
    broken.tm_sec = second;
    return timegm(&broken);
}

std::string dateTextDaysBefore(time_t when, int days)
{
    const time_t then = when - static_cast<time_t>(days) * 86400;
    struct tm broken;
    gmtime_r(&then, &broken);
    return dateText(broken.tm_year + 1900, broken.tm_mon + 1, broken.tm_mday);
}

uint32_t packedDateTime(int year, int month, int day, int hour, int minute)
{
    return static_cast<uint32_t>(day) | static_cast<uint32_t>(month - 1) << 5 |
           static_cast<uint32_t>(year - 1980) << 9 | static_cast<uint32_t>(minute) << 21 |
           static_cast<uint32_t>(hour) << 27;
}
