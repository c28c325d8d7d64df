// Runs a program as another user: asuser UID GID GROUP PROGRAM ARGS...
// (busybox has no tool that changes the user). GROUP is the one
// supplementary group, as a user in dialout has.
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: asuser UID GID GROUP PROGRAM [ARGS...]\n");
        return 2;
    }
    gid_t group = (gid_t)atoi(argv[3]);
    if (setgroups(1, &group) != 0 || setgid((gid_t)atoi(argv[2])) != 0 || setuid((uid_t)atoi(argv[1])) != 0) {
        perror("asuser");
        return 2;
    }
    execv(argv[4], argv + 4);
    perror(argv[4]);
    return 127;
}
