// SPDX-License-Identifier: Apache-2.0
// A separate process that records into a history, for the suites that need several writers at
// once or one killed mid-operation.
//   uvq-test-history-writer DB rows N TAG   begins and completes N rows (unit TAG-i), prints "done"
//   uvq-test-history-writer DB hang TAG     begins one row, prints "begun", waits to be killed
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "store/history/OpenHistoryStore.h"

int main(int argc, char** argv) {
  using namespace uvq::history;
  if (argc < 4) return 2;
  const std::string mode = argv[2];
  try {
    auto store = OpenHistoryStore(argv[1]);
    OperationRow row;
    row.station = "writer";
    row.operation = "program";
    row.target = "127.0.0.51";
    if (mode == "hang") {
      row.unitId = argv[3];
      row.startedAt = 1000;
      store->begin(row);
      std::puts("begun");
      std::fflush(stdout);
      for (;;) ::pause();
    }
    const int count = std::atoi(argv[3]);
    const std::string tag = argc > 4 ? argv[4] : "w";
    for (int i = 0; i < count; ++i) {
      OperationRow one = row;
      one.unitId = tag + "-" + std::to_string(i);
      one.startedAt = 1000 + i;
      one.id = store->begin(one);
      one.outcome = "ok";
      one.endedAt = one.startedAt + 1;
      store->complete(one);
    }
    std::puts("done");
  } catch (const HistoryError& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
