// Times a download as another program on the machine sees it: from the moment a file named
// FIRST appears in FOLDER to the moment a complete file stands at LAST (renamed there, or
// closed after writing), by inotify. Prints the microseconds between the two, then exits.
// Usage: kolup-watch FOLDER FIRST LAST   (prints "ready" once it watches)
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

namespace {

long long microseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: kolup-watch FOLDER FIRST LAST\n");
        return 2;
    }
    const std::string_view first = argv[2];
    const std::string_view last = argv[3];
    const int watcher = inotify_init1(IN_CLOEXEC);
    if (watcher < 0 ||
        inotify_add_watch(watcher, argv[1], IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE) < 0) {
        std::perror("kolup-watch");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    long long began = -1;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = read(watcher, buffer, sizeof buffer);
        if (count <= 0) {
            std::perror("kolup-watch");
            return 1;
        }
        const long long now = microseconds();
        for (ssize_t at = 0; at < count;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            const std::string_view name = event->len ? event->name : "";
            if (began < 0 && (event->mask & IN_CREATE) && name == first) {
                began = now;
            } else if (began >= 0 && (event->mask & (IN_MOVED_TO | IN_CLOSE_WRITE)) &&
                       name == last) {
                std::printf("%lld\n", now - began);
                return 0;
            }
        }
    }
}
