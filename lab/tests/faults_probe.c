/* The fault preload's subject in its own tests (test_faults.py): makes each
 * call named on the command line twice, in a scratch directory, and prints
 * one line per call: the call and "ok", or the errno's number.
 *
 *   faults_probe DIR CALL...
 *
 * CALL: a kind of lab/faults.c (each attempt makes one call of that kind,
 * after an open of the file "data" unless CALL is "open"), "none" (no
 * call), "fwrite" (a stream's write and its error indicator), "child"
 * (a forked child opens a file) or "exec" (a started program prints
 * LD_PRELOAD, or "unset"). The lines are printed at the end, so that no
 * call of the output comes between. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

static char lines[4096];
static size_t used;

static void note(const char *call, int ok) {
  if (ok) {
    used += (size_t)snprintf(lines + used, sizeof lines - used, "%s ok\n", call);
  } else {
    used += (size_t)snprintf(lines + used, sizeof lines - used, "%s %d\n", call, errno);
  }
}

static int attempt(const char *call, int round) {
  char name[64];
  snprintf(name, sizeof name, "f%d", round);
  if (strcmp(call, "none") == 0) return 1;
  if (strcmp(call, "open") == 0) {
    int fd = open(name, O_RDWR | O_CREAT, 0600);
    return fd >= 0 && close(fd) == 0;
  }
  int fd = open("data", O_RDWR | O_CREAT, 0600);
  int ends[2];
  int ok = 0;
  if (strcmp(call, "read") == 0) {
    char byte;
    ok = read(fd, &byte, 1) >= 0;
  } else if (strcmp(call, "write") == 0) {
    ok = write(fd, "x", 1) == 1;
  } else if (strcmp(call, "fsync") == 0) {
    ok = fsync(fd) == 0;
  } else if (strcmp(call, "rename") == 0) {
    ok = rename("data", "data") == 0;
  } else if (strcmp(call, "link") == 0) {
    ok = link("data", name) == 0;
  } else if (strcmp(call, "unlink") == 0) {
    ok = unlink("data") == 0;
  } else if (strcmp(call, "mkdir") == 0) {
    ok = mkdir(name, 0700) == 0;
  } else if (strcmp(call, "chmod") == 0) {
    ok = fchmod(fd, 0600) == 0;
  } else if (strcmp(call, "truncate") == 0) {
    ok = ftruncate(fd, 0) == 0;
  } else if (strcmp(call, "flock") == 0) {
    ok = flock(fd, LOCK_EX) == 0;
  } else if (strcmp(call, "malloc") == 0) {
    void *block = malloc(64);
    ok = block != NULL;
    free(block);
  } else if (strcmp(call, "fork") == 0) {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    ok = pid > 0 && waitpid(pid, NULL, 0) == pid;
  } else if (strcmp(call, "pipe") == 0) {
    ok = pipe(ends) == 0 && close(ends[0]) == 0 && close(ends[1]) == 0;
  } else if (strcmp(call, "socket") == 0) {
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ok = sock >= 0 && close(sock) == 0;
  } else if (strcmp(call, "connect") == 0) {
    /* A name no one listens on: the call is made, and refused. */
    struct sockaddr_un nowhere = {.sun_family = AF_UNIX, .sun_path = "nowhere"};
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ok = connect(sock, (struct sockaddr *)&nowhere, sizeof nowhere) == 0 || errno == ENOENT;
    close(sock);
  } else if (strcmp(call, "poll") == 0) {
    ok = poll(NULL, 0, 0) == 0;
  } else if (strcmp(call, "sockio") == 0) {
    ok = socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0 && write(ends[0], "x", 1) == 1;
    close(ends[0]);
    close(ends[1]);
  } else if (strcmp(call, "fwrite") == 0) {
    FILE *stream = fdopen(dup(fd), "w");
    ok = fwrite("x", 1, 1, stream) == 1 && !ferror(stream);
    fclose(stream);
  } else if (strcmp(call, "child") == 0) {
    pid_t pid = fork();
    if (pid == 0) _exit(open("data", O_RDONLY) >= 0 ? 0 : 1);
    int status = 0;
    ok = pid > 0 && waitpid(pid, &status, 0) == pid && status == 0;
  } else if (strcmp(call, "exec") == 0) {
    ok = system("echo \"${LD_PRELOAD-unset}\" >>exec.out") == 0;
  }
  int error = errno;
  close(fd);
  errno = error;
  return ok;
}

int main(int argc, char **argv) {
  if (argc < 2 || chdir(argv[1]) != 0) return 2;
  for (int i = 2; i < argc && used < sizeof lines - 64; ++i) {
    for (int round = 1; round <= 2; ++round) note(argv[i], attempt(argv[i], round));
  }
  fputs(lines, stdout);
  return 0;
}
