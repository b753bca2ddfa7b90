// The run loop with a source of the tests' own: registered from here alone,
// it hands messages on from two threads at once, and both commands take
// them end to end. Each message's completion is called once, when its
// outcome is final: its text file written, or the fleet written.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "tool/convert_command.h"
#include "tool/tracks_command.h"
#include "tool_test_support.h"

namespace kaldo::tool::testing {
namespace {

struct memory_message {
  std::string name;
  std::string bytes;
};

// What each "memory:NAME" input holds, and what became of each message.
struct memory_inputs {
  std::mutex mutex;
  std::map<std::string, std::vector<memory_message>> inputs;
  std::vector<message_outcome> done;
  std::vector<std::string> early;  // completions called before the outcome was final
  std::function<bool(const message_outcome&)> final_now;
};
memory_inputs& memory() {
  static memory_inputs state;
  return state;
}

class memory_source final : public source {
 public:
  explicit memory_source(std::vector<memory_message> messages) : messages_(std::move(messages)) {}

  // Two threads at once, as a receiver with several connections would.
  void run(message_sink& sink) override {
    auto hand_on = [&](std::size_t first) {
      for (std::size_t i = first; i < messages_.size(); i += 2) {
        found_message message;
        message.origin.channel = "memory";
        message.origin.key = std::to_string(i);
        message.origin.display_name = "memory message " + std::to_string(i);
        message.origin.path = messages_[i].name;
        message.name = messages_[i].name;
        message.bytes = messages_[i].bytes;
        message.full_length = message.bytes.size();
        message.done = [](const message_outcome& outcome) {
          memory_inputs& state = memory();
          std::lock_guard lock(state.mutex);
          if (!state.final_now(outcome)) state.early.push_back(outcome.origin.key);
          state.done.push_back(outcome);
        };
        sink.found(std::move(message));
      }
    };
    std::thread other(hand_on, 1);
    hand_on(0);
    other.join();
  }

 private:
  std::vector<memory_message> messages_;
};

void register_memory_source() {
  static std::once_flag once;
  std::call_once(once, [] {
    register_source({"memory", [](std::string_view input) { return input.starts_with("memory:"); },
                     [](const std::string& input, const source_settings&) -> std::unique_ptr<source> {
                       std::lock_guard lock(memory().mutex);
                       return std::make_unique<memory_source>(memory().inputs[input]);
                     }});
  });
}

std::vector<memory_message> fleet_messages(std::size_t count) {
  std::vector<memory_message> messages;
  for (std::size_t i = 0; i < count; ++i) {
    packed_fields report;
    report.minute = static_cast<int>(i % 60);
    report.hour = 10 + static_cast<int>(i / 60);
    messages.push_back({"30003401234567" + std::to_string(i % 3) + "_" + std::to_string(i) + ".sbd",
                        make_message(3, {packed_report(report)})});
  }
  messages.push_back({"300034012345679_update.sbd", "Updated"});
  return messages;
}

void start(const std::string& input, std::vector<memory_message> messages,
           std::function<bool(const message_outcome&)> final_now) {
  register_memory_source();
  memory_inputs& state = memory();
  std::lock_guard lock(state.mutex);
  state.inputs[input] = std::move(messages);
  state.done.clear();
  state.early.clear();
  state.final_now = std::move(final_now);
}

TEST(RunLoop, ASourceOfTheTestsOwnIsConvertedEndToEnd) {
  temp_dir folder;
  const std::vector<memory_message> messages = fleet_messages(40);
  start("memory:convert", messages, [](const message_outcome& outcome) {
    return outcome.output && std::filesystem::exists(*outcome.output);
  });
  convert_options options;
  options.format = 10;
  options.output_folder = folder.path() + "/out";
  options.run.inputs = {"memory:convert"};
  options.run.quiet = true;
  options.run.jobs = 2;
  ASSERT_EQ(run_convert(options), 0);

  memory_inputs& state = memory();
  EXPECT_TRUE(state.early.empty());
  ASSERT_EQ(state.done.size(), messages.size());
  std::map<std::string, message_outcome> by_key;
  for (const message_outcome& outcome : state.done) by_key.emplace(outcome.origin.key, outcome);
  EXPECT_EQ(by_key.size(), messages.size()) << "a completion was called twice";
  for (const auto& [key, outcome] : by_key) {
    const memory_message& sent = messages.at(std::stoul(key));
    SCOPED_TRACE(sent.name);
    ASSERT_TRUE(outcome.output);
    // Exactly what the single-file program prints for the same saved file.
    temp_dir saved;
    kaldo::settings how;
    how.format = 10;
    EXPECT_EQ(read_file(*outcome.output), kaldo::convert_file(saved.write(sent.name, sent.bytes), how).output);
    EXPECT_EQ(outcome.modem_id, sent.name.substr(0, 15));
  }
}

TEST(RunLoop, ASourceOfTheTestsOwnIsWrittenAsTracksBeforeItsCompletions) {
  temp_dir folder;
  const std::string destination = folder.path() + "/fleet.geojson";
  const std::vector<memory_message> messages = fleet_messages(30);
  start("memory:tracks", messages, [destination](const message_outcome&) {
    return std::filesystem::exists(destination);
  });
  tracks_options options;
  options.destination = destination;
  options.run.inputs = {"memory:tracks"};
  options.run.quiet = true;
  ASSERT_EQ(run_tracks(options), 0);

  memory_inputs& state = memory();
  EXPECT_TRUE(state.early.empty());
  ASSERT_EQ(state.done.size(), messages.size());
  std::size_t converted = 0;
  for (const message_outcome& outcome : state.done) {
    converted += outcome.status == message_status::converted;
  }
  EXPECT_EQ(converted, messages.size() - 1);  // all but the remote update response
  // Every distinct report became a point.
  const std::string written = read_file(destination);
  std::size_t points = 0;
  for (std::size_t at = 0; (at = written.find("\"Point\"", at)) != std::string::npos; ++at) ++points;
  EXPECT_EQ(points, messages.size() - 1);
}

}  // namespace
}  // namespace kaldo::tool::testing
