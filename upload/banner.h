// The text the box prints when it starts: a blank, a capital letter and 51
// more characters. The engine answers it with "s"; the box simulator prints it.
#ifndef TESSEL_BANNER_H
#define TESSEL_BANNER_H

#define BOOT_BANNER " Tessel IRD Boot Monitor 1.04 - press s to stop boot."
#define BOOT_BANNER_LENGTH 53

#endif
