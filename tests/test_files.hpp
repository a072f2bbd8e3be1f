// Files for the tests: a temporary directory removed at the end,
// whole-file reads and writes, trees and dates.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <sys/types.h>

class TempDir {
public:
    // Open to every user by default: the runs as nobody work in it.
    explicit TempDir(mode_t mode = 0777);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
void makeDirectory(const std::string& path);

// Every entry under root, one line each: its path, kind, mode, owner, and a
// regular file's bytes or a link's target; two trees that differ in any of
// these give two texts that differ.
std::string describeTree(const std::string& root);

// The date text dd-Mon-yyyy of a calendar date, in a 12-byte field.
std::string dateText(int year, int month, int day);

// The date text of the day that lies days before the UTC date of when.
std::string dateTextDaysBefore(time_t when, int days);

// Seconds since 1970 of a UTC date and time.
time_t utcTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// The packed date-time of a date (month 1-12) and time.
uint32_t packedDateTime(int year, int month, int day, int hour = 0, int minute = 0);
