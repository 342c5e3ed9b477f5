// Reads the program's and the Wine server's Linux /proc entries through the
// Z: drive: resident and peak memory, CPU ticks, open descriptors.
#include "tools/bench/procusage.h"

#include <cstdlib>
#include <cstring>

double ReadNumberAfter(const std::string &text, const char *key)
{
    size_t at = text.rfind(key);
    return at == std::string::npos ? -1.0 : atof(text.c_str() + at + strlen(key));
}

static double fileTimeSeconds(const FILETIME &t)
{
    return (double(t.dwHighDateTime) * 4294967296.0 + double(t.dwLowDateTime)) / 1e7;
}

// The /proc folder of the first Linux process whose command line holds the
// given word (and is no debugger).
static std::string processFolder(const char *word)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA("Z:\\proc\\*", &entry);
    if (search == INVALID_HANDLE_VALUE)
        return "";
    std::string found;
    do {
        if (entry.cFileName[0] < '0' || entry.cFileName[0] > '9')
            continue;
        std::string folder = std::string("Z:\\proc\\") + entry.cFileName;
        std::string command = ReadTextFile(folder + "\\cmdline");
        if (command.find(word) != std::string::npos && command.find("winedbg") == std::string::npos)
            found = folder;
    } while (found.empty() && FindNextFileA(search, &entry));
    FindClose(search);
    return found;
}

static int countEntries(const std::string &folder)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return -1;
    int n = 0;
    do {
        if (entry.cFileName[0] != '.')
            n++;
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return n;
}

// utime + stime: fields 14 and 15 of /proc/PID/stat, after the command in brackets.
static double cpuTicks(const std::string &folder)
{
    if (folder.empty())
        return -1.0;
    std::string stat = ReadTextFile(folder + "\\stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1.0;
    const char *p = stat.c_str() + close + 2;
    double fields[13] = {};
    for (int field = 3; field <= 15; field++) {
        fields[field - 3] = atof(p);
        p = strchr(p, ' ');
        if (!p)
            return -1.0;
        p++;
    }
    return fields[14 - 3] + fields[15 - 3];
}

Usage UsageOf(App &app)
{
    Usage usage = { -1, -1, -1, -1, -1, -1 };
    FILETIME created, ended, kernel, user;
    if (GetProcessTimes(app.process.hProcess, &created, &ended, &kernel, &user))
        usage.cpuSeconds = fileTimeSeconds(kernel) + fileTimeSeconds(user);
    std::string folder = processFolder("TesselFlash.exe");
    if (!folder.empty()) {
        std::string status = ReadTextFile(folder + "\\status");
        usage.peakMiB = ReadNumberAfter(status, "VmHWM:") / 1024.0;
        usage.residentMiB = ReadNumberAfter(status, "VmRSS:") / 1024.0;
        usage.descriptors = countEntries(folder + "\\fd");
        usage.linuxCpuTicks = cpuTicks(folder);
    }
    usage.serverCpuTicks = cpuTicks(processFolder("wineserver"));
    return usage;
}
