#include "session/command_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace sidecar::session {
namespace {

using namespace std::chrono_literals;
using Item = std::unique_ptr<int>;  // move-only: a copy would not compile

Item item(int value) { return std::make_unique<int>(value); }

int receiveValue(Receiver<Item>& receiver, std::chrono::nanoseconds timeout = 5s) {
  ReceiveResult<Item> result = receiver.receiveWithTimeout(timeout);
  EXPECT_EQ(result.status, ReceiveStatus::Item);
  return result.item && *result.item ? **result.item : -1;
}

// Waits (bounded) until `counter` reaches `target`; false if it never does.
bool waitForCount(const std::atomic<int>& counter, int target) {
  for (int i = 0; i < 5000 && counter.load() < target; ++i) {
    std::this_thread::sleep_for(1ms);
  }
  return counter.load() >= target;
}

TEST(CommandChannel, DeliversItemsInOrderAndDisconnectsOnlyAfterTheQueueIsDrained) {
  Channel<Item> channel = makeChannel<Item>(8);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(channel.sender.send(item(i)).ok());
  }
  channel.sender.release();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(receiveValue(channel.receiver), i);
  }
  EXPECT_EQ(channel.receiver.receiveWithTimeout(1s).status, ReceiveStatus::Disconnected);
  EXPECT_EQ(channel.receiver.receiveWithTimeout(1s).status, ReceiveStatus::Disconnected);
}

// A reader that ran out of memory must not read as the end of input, which
// would end the run with status 0.
TEST(CommandChannel, AFailedSenderIsReportedAfterTheQueuedItems) {
  Channel<Item> channel = makeChannel<Item>(8);
  ASSERT_TRUE(channel.sender.send(item(7)).ok());
  channel.sender.fail();
  channel.sender.release();  // nothing left to release: stays failed
  EXPECT_EQ(receiveValue(channel.receiver), 7);
  EXPECT_EQ(channel.receiver.receiveWithTimeout(1s).status, ReceiveStatus::SenderFailed);
  EXPECT_EQ(channel.receiver.receiveWithTimeout(1s).status, ReceiveStatus::SenderFailed);
}

TEST(CommandChannel, TimesOutOnAnEmptyQueueWhileTheSenderLives) {
  Channel<Item> channel = makeChannel<Item>(4);
  const auto before = std::chrono::steady_clock::now();
  ReceiveResult<Item> result = channel.receiver.receiveWithTimeout(30ms);
  EXPECT_EQ(result.status, ReceiveStatus::TimedOut);
  EXPECT_FALSE(result.item.has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - before, 30ms);

  // Zero and negative timeouts do not wait, but still hand out queued items.
  EXPECT_EQ(channel.receiver.receiveWithTimeout(0ns).status, ReceiveStatus::TimedOut);
  EXPECT_EQ(channel.receiver.receiveWithTimeout(-5s).status, ReceiveStatus::TimedOut);
  ASSERT_TRUE(channel.sender.send(item(7)).ok());
  EXPECT_EQ(receiveValue(channel.receiver, 0ns), 7);
}

TEST(CommandChannel, ABlockedReceiverWakesForAnItemAndForTheSenderGoing) {
  Channel<Item> channel = makeChannel<Item>(4);
  // nanoseconds::max() cannot be added to now: the receive waits without a
  // deadline and must still be woken.
  std::thread producer([&sender = channel.sender] {
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(sender.send(item(42)).ok());
    std::this_thread::sleep_for(20ms);
    sender.release();
  });
  EXPECT_EQ(receiveValue(channel.receiver, std::chrono::nanoseconds::max()), 42);
  EXPECT_EQ(channel.receiver.receiveWithTimeout(std::chrono::nanoseconds::max()).status,
            ReceiveStatus::Disconnected);
  producer.join();
}

TEST(CommandChannel, SendBlocksAtCapacityUntilAnItemIsTaken) {
  CommandChannel channel = makeCommandChannel();
  std::atomic<int> sent{0};
  std::thread producer([&] {
    for (int i = 0; i < static_cast<int>(COMMAND_CHANNEL_CAPACITY) + 1; ++i) {
      ASSERT_TRUE(channel.sender.send(ReaderFailure{std::to_string(i)}).ok());
      ++sent;
    }
  });
  ASSERT_TRUE(waitForCount(sent, 64));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(sent.load(), 64) << "the 65th send must block while 64 items are queued";

  ReceiveResult<ReaderMessage> first = channel.receiver.receiveWithTimeout(1s);
  ASSERT_EQ(first.status, ReceiveStatus::Item);
  EXPECT_EQ(std::get<ReaderFailure>(*first.item).text, "0");
  ASSERT_TRUE(waitForCount(sent, 65));
  producer.join();
  for (int i = 1; i <= 64; ++i) {
    ReceiveResult<ReaderMessage> next = channel.receiver.receiveWithTimeout(1s);
    ASSERT_EQ(next.status, ReceiveStatus::Item);
    EXPECT_EQ(std::get<ReaderFailure>(*next.item).text, std::to_string(i));
  }
}

TEST(CommandChannel, ReleasingTheReceiverFailsABlockedSendAndGivesTheItemBack) {
  Channel<Item> channel = makeChannel<Item>(1);
  ASSERT_TRUE(channel.sender.send(item(1)).ok());
  std::atomic<bool> started{false};
  SendResult<Item> blocked;
  std::thread producer([&] {
    started = true;
    blocked = channel.sender.send(item(2));
  });
  while (!started) {
    std::this_thread::yield();
  }
  std::this_thread::sleep_for(20ms);
  channel.receiver.release();
  producer.join();
  ASSERT_FALSE(blocked.ok());
  ASSERT_TRUE(*blocked.returned);
  EXPECT_EQ(**blocked.returned, 2);

  // Later sends fail at once, item handed back unchanged.
  SendResult<Item> later = channel.sender.send(item(3));
  ASSERT_FALSE(later.ok());
  EXPECT_EQ(**later.returned, 3);
}

TEST(CommandChannel, ReleasedEndsBehaveAsDisconnected) {
  Channel<Item> channel = makeChannel<Item>(2);
  Receiver<Item> moved = std::move(channel.receiver);
  // The moved-from handle holds nothing: it reports disconnected.
  EXPECT_EQ(channel.receiver.receiveWithTimeout(0ns).status, ReceiveStatus::Disconnected);
  {
    Sender<Item> scoped = std::move(channel.sender);
    ASSERT_TRUE(scoped.send(item(5)).ok());
  }  // destructor releases the sending end
  EXPECT_EQ(receiveValue(moved), 5);
  EXPECT_EQ(moved.receiveWithTimeout(1s).status, ReceiveStatus::Disconnected);
  EXPECT_FALSE(channel.sender.send(item(6)).ok());
}

TEST(CommandChannel, ManyItemsThroughASmallQueueArriveInOrder) {
  constexpr int COUNT = 20000;
  Channel<Item> channel = makeChannel<Item>(64);
  std::thread producer([sender = std::move(channel.sender)]() mutable {
    for (int i = 0; i < COUNT; ++i) {
      if (!sender.send(item(i)).ok()) {
        return;
      }
    }
  });
  int expected = 0;
  for (;;) {
    ReceiveResult<Item> result = channel.receiver.receiveWithTimeout(1ms);
    if (result.status == ReceiveStatus::Disconnected) {
      break;
    }
    if (result.status == ReceiveStatus::Item) {
      ASSERT_EQ(**result.item, expected);
      ++expected;
    }
  }
  EXPECT_EQ(expected, COUNT);
  producer.join();
}

}  // namespace
}  // namespace sidecar::session
