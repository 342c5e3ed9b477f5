// A pseudo-terminal that plays one end of a serial line: the master is ours,
// the slave is what the other program opens, through a symlink (for Wine,
// $WINEPREFIX/dosdevices/comN). The link replaces only a symlink or nothing,
// through a rename so a reader never sees it missing, and is removed only
// while it still points at this pty. With nobody on the slave the master
// polls as hung up for good: HasPtyClient tells when someone is back.
#ifndef TESSEL_LINE_PTY_H
#define TESSEL_LINE_PTY_H

#include <string>

struct LinePty {
    int master;              // -1 while not open
    char slavePath[128];
    std::string linkPath;    // empty while not linked
};

// A raw 115200 8N1 pair with a non-blocking master. Set through the master,
// the modes stay while the master is open, also when the slave is closed.
int OpenLinePty(LinePty *pty);
int LinkLinePty(LinePty *pty, const char *path);
void UnlinkLinePty(LinePty *pty);
// Removes the link as above and closes the master.
void CloseLinePty(LinePty *pty);
// 1 when some program has the slave open now.
int HasPtyClient(const LinePty *pty);

#endif
