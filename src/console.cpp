// The run's console, for now over the status line of progress.cpp.
#include "console.hpp"

#include <iostream>

#include "progress.hpp"

Console open_console() {
  progress_init();
  return Console{.status_line = progress_detail::enabled};
}

void say(Console& console, Stream stream, std::string_view text) {
  if (console.status_line) {
    progress_erase();
  }
  (stream == Stream::OUT ? std::cout : std::cerr) << text;
}

std::string shown(const Console& /*console*/, Stream /*stream*/,
                  std::string_view name) {
  return std::string(name);
}

void status_scan(Console& console, Tree tree, std::uint64_t files,
                 std::uint64_t folders) {
  if (console.status_line) {
    progress_scan(tree, files, folders);
  }
}

void status_apply_start(Console& console, std::uint64_t total_files,
                        std::uint64_t total_bytes) {
  if (console.status_line) {
    progress_apply_start(total_files, total_bytes);
  }
}

void status_copy_start(Console& console, std::string_view path,
                       std::uint64_t size) {
  if (console.status_line) {
    progress_copy_start(path, size);
  }
}

void status_delete_start(Console& console) {
  if (console.status_line) {
    progress_delete_start();
  }
}

void status_bytes(Console& console, std::uint64_t count) {
  if (console.status_line) {
    progress_bytes(count);
  }
}

void status_file_done(Console& console) {
  if (console.status_line) {
    progress_file_done();
  }
}

void status_count(Console& console, Counted what, std::uint64_t bytes) {
  if (!console.status_line) {
    return;
  }
  switch (what) {
    case Counted::COPIED:
      progress_count_copied(bytes);
      return;
    case Counted::DELETED:
      progress_count_deleted();
      return;
    case Counted::FOLDER_REMOVED:
      progress_count_folder_removed();
      return;
    case Counted::FAILURE:
      progress_count_failure();
      return;
  }
}

void status_sync_start(Console& console) {
  if (console.status_line) {
    progress_sync_start();
  }
}

void status_suspend(Console& console) {
  if (console.status_line) {
    progress_suspend();
  }
}

void status_resume(Console& console) {
  if (console.status_line) {
    progress_resume();
  }
}

void status_finish(Console& console) {
  if (console.status_line) {
    progress_finish();
  }
}

void erase_status_from_signal() {
  progress_erase_from_signal();
}
