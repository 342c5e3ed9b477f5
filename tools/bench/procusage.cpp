// Reads the program's and the Wine server's Linux /proc entries through the
// Z: drive: resident and peak memory, CPU ticks, open descriptors.
#include "tools/bench/procusage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

double ReadNumberAfter(const std::string &text, const char *key)
{
    size_t at = text.rfind(key);
    return at == std::string::npos ? -1.0 : atof(text.c_str() + at + strlen(key));
}

double ReadSeconds(void)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart) / double(frequency.QuadPart);
}

static double fileTimeSeconds(const FILETIME &t)
{
    return (double(t.dwHighDateTime) * 4294967296.0 + double(t.dwLowDateTime)) / 1e7;
}

// Field n (from 1) of /proc/PID/stat, counting from the command in brackets.
static double statField(const std::string &stat, int n)
{
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1.0;
    const char *p = stat.c_str() + close + 2;
    for (int field = 3; field < n; field++) {
        p = strchr(p, ' ');
        if (!p)
            return -1.0;
        p++;
    }
    return atof(p);
}

// The names in a folder but "." and ".."; none when it cannot be listed.
static std::vector<std::string> namesIn(const std::string &folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (entry.cFileName[0] != '.')
            names.push_back(entry.cFileName);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return names;
}

// The /proc folder of the newest Linux process of this Wine prefix whose
// name begins with the given word (Wine names a process after its program,
// cut to the kernel's 15 characters; the shells that started it are named
// after themselves): another prefix's program may run on the same machine.
static std::string processFolder(const char *word)
{
    std::string wanted = std::string(word).substr(0, 15);
    const char *prefix = getenv("WINEPREFIX");
    std::string mark = prefix ? std::string("WINEPREFIX=") + prefix + '\0' : "";
    std::string found;
    double newest = -1.0;
    for (const std::string &name : namesIn("Z:\\proc")) {
        std::string folder = "Z:\\proc\\" + name;
        if (name[0] < '0' || name[0] > '9' || ReadTextFile(folder + "\\comm").compare(0, wanted.size(), wanted) != 0)
            continue;
        if (!mark.empty() && ('\0' + ReadTextFile(folder + "\\environ")).find('\0' + mark) == std::string::npos)
            continue;
        double started = statField(ReadTextFile(folder + "\\stat"), 22);
        if (started > newest) {
            newest = started;
            found = folder;
        }
    }
    return found;
}

// utime + stime: fields 14 and 15 of /proc/PID/stat.
static double cpuTicks(const std::string &folder)
{
    if (folder.empty())
        return -1.0;
    std::string stat = ReadTextFile(folder + "\\stat");
    return statField(stat, 14) + statField(stat, 15);
}

Usage UsageOf(App &app, const char *program)
{
    Usage usage = { -1, -1, -1, -1, -1, -1 };
    FILETIME created, ended, kernel, user;
    if (GetProcessTimes(app.process.hProcess, &created, &ended, &kernel, &user))
        usage.cpuSeconds = fileTimeSeconds(kernel) + fileTimeSeconds(user);
    std::string folder = processFolder(program);
    if (folder.empty())
        return usage;
    std::string status = ReadTextFile(folder + "\\status");
    usage.peakMiB = ReadNumberAfter(status, "VmHWM:") / 1024.0;
    usage.residentMiB = ReadNumberAfter(status, "VmRSS:") / 1024.0;
    usage.descriptors = int(namesIn(folder + "\\fd").size());
    usage.linuxCpuTicks = cpuTicks(folder);
    usage.serverCpuTicks = cpuTicks(processFolder("wineserver"));
    return usage;
}
