// Worker threads.
#include <SDL.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <string>

#include "platform/host_threads.h"

namespace {

struct worker_job {
  std::atomic<bool> *go;
  std::atomic<int> *done;
  int value;
  int result = 0;
  char name[16] = {};
};

int run_job(void *arg) {
  auto *job = static_cast<worker_job *>(arg);
  while (!job->go->load()) SDL_Delay(1);
  pthread_getname_np(pthread_self(), job->name, sizeof job->name);
  job->result = job->value * 2;
  job->done->fetch_add(1);
  return 0;
}

TEST(HostThreads, DetachedWorkersRunTheirFunctionToTheEnd) {
  std::atomic<bool> go{false};
  std::atomic<int> done{0};
  worker_job jobs[4];
  for (int i = 0; i < 4; i++) {
    jobs[i].go = &go;
    jobs[i].done = &done;
    jobs[i].value = i + 1;
    os_thread *t = os_create_thread(run_job, &jobs[i]);
    ASSERT_NE(t, nullptr);
    // Let go of the handle before the function has even begun: it still runs.
    os_destroy_thread(t);
  }
  go = true;
  for (int i = 0; i < 2000 && done.load() < 4; i++) SDL_Delay(1);
  ASSERT_EQ(done.load(), 4);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(jobs[i].result, 2 * (i + 1));
    EXPECT_EQ(std::string(jobs[i].name), "kestrune_worker");
  }
}

TEST(HostThreads, NullHandlesAndFunctionsAreRefusedQuietly) {
  EXPECT_EQ(os_create_thread(nullptr, nullptr), nullptr);
  os_destroy_thread(nullptr);
}

}  // namespace
