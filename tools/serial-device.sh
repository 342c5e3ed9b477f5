# Sourced by the run command: checks a serial device given by the user before
# anything is installed, built or started, so a wrong path costs a second and
# leaves nothing behind. Prints one clear reason and returns 1 when it is unfit.
# Usage: tessel_check_device PATH

tessel_check_device() {
    local device="$1" user group
    user="$(id -un)"
    if [ ! -e "$device" ]; then
        echo "run-demo: $device does not exist. Plug the adapter in and look for it with: ls -l /dev/ttyUSB* /dev/ttyACM* /dev/ttyS*" >&2
        return 1
    fi
    if [ ! -c "$device" ]; then
        echo "run-demo: $device is not a serial device (not a character device)." >&2
        return 1
    fi
    if [ ! -r "$device" ] || [ ! -w "$device" ]; then
        group="$(stat -L -c %G "$device")"
        echo "run-demo: $user cannot open $device for reading and writing. Join its group \"$group\"" \
             "(sudo usermod -aG $group $user), then log out and in again." >&2
        return 1
    fi
    return 0
}
