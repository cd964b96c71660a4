#include "audio_faust/hot_reload.hpp"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <thread>
#include <unordered_map>

#include "audio_faust/dsp.hpp"
#include "audio_faust/loader.hpp"
#include "support/channel.hpp"
#include "support/log.hpp"

namespace audio_faust::hot_reload {

namespace fs = std::filesystem;
using audio_engine::engine::AudioProcessor;
using watcher::CompiledType;
using watcher::WatchEvent;

namespace {

constexpr std::string_view target = "audio_faust::hot_reload";

std::expected<void, std::string> load(audio_engine::engine::EngineController& controller,
                                      audio_engine::ir::GraphIr graph) {
    auto result =
        controller.handle_message(audio_engine::protocol::LoadGraph{std::move(graph)});
    if (!result) return std::unexpected(result.error().display());
    return {};
}

// Drops every Changed event that a later Changed event of the same file makes stale.
void keep_latest_changes(std::vector<WatchEvent>& events) {
    std::unordered_map<fs::path::string_type, std::size_t> last;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == WatchEvent::Kind::Changed) last[events[i].path.native()] = i;
    }
    std::size_t i = 0;
    std::erase_if(events, [&](const WatchEvent& e) {
        const std::size_t at = i++;
        return e.kind == WatchEvent::Kind::Changed && last[e.path.native()] != at;
    });
}

}  // namespace

// A change taken from the watcher and, for a changed file, its compile.
struct Finished {
    WatchEvent event;
    std::expected<CompiledType, std::string> compiled;  // Removed: an empty value
};

// The compile thread: takes the watcher's events, compiles each changed file and queues the
// results for poll_reload, in the order of the events. It runs at the priority of the thread
// that built the engine (start-up, before the main thread turns realtime).
struct HotReloadEngine::Compiler {
    watcher::WatchSender wake;  // wakes the thread for shutdown
    support::channel::Sender<Finished> results_in;
    support::channel::Receiver<Finished> results;
    // Compiled results sent and applied: the next compile waits until they are equal.
    std::mutex mutex;
    std::condition_variable_any applied;
    std::uint64_t compiled_sent = 0;
    std::uint64_t compiled_applied = 0;
    bool compiling = false;  // guarded by mutex
    std::jthread thread;

    Compiler(watcher::WatchSender sender, watcher::WatchReceiver events)
        : Compiler(std::move(sender), std::move(events), support::channel::unbounded<Finished>()) {}

    ~Compiler() {
        if (!thread.get_stop_token().stop_requested()) stop();  // the engine may have asked
        thread.join();
    }

    // Asks the thread to end; true when it is inside a compile, which nothing can cut short.
    bool stop() {
        bool busy = false;
        {
            std::lock_guard lock(mutex);
            thread.request_stop();
            busy = compiling;
        }
        wake.send(WatchEvent{WatchEvent::Kind::Removed, {}, {}});
        return busy;
    }

    // Called by a poll once it has applied `count` compiled results (and rebuilt the graph).
    void mark_applied(std::uint64_t count) {
        {
            std::lock_guard lock(mutex);
            compiled_applied += count;
        }
        applied.notify_one();
    }

private:
    Compiler(watcher::WatchSender sender, watcher::WatchReceiver events,
             std::pair<support::channel::Sender<Finished>, support::channel::Receiver<Finished>> out)
        : wake(std::move(sender)),
          results_in(std::move(out.first)),
          results(std::move(out.second)),
          thread([this, events = std::move(events)](std::stop_token stop) mutable {
              ::pthread_setname_np(::pthread_self(), "zorva-faust");
              run(stop, events);
          }) {}

    void run(std::stop_token stop, watcher::WatchReceiver& events) {
        std::vector<WatchEvent> batch;
        while (!stop.stop_requested()) {
            auto first = events.recv();
            if (!first) return;
            batch.clear();
            batch.push_back(std::move(*first));
            while (auto more = events.try_recv())
                batch.push_back(std::move(*more));
            keep_latest_changes(batch);
            for (WatchEvent& event : batch) {
                if (stop.stop_requested()) return;
                if (event.kind == WatchEvent::Kind::Removed) {
                    results_in.send(Finished{std::move(event), CompiledType{}});
                    continue;
                }
                {
                    std::unique_lock lock(mutex);
                    if (!applied.wait(lock, stop, [&] { return compiled_applied == compiled_sent; }))
                        return;
                    compiling = true;  // with the stop check, under one lock: see stop()
                }
                auto compiled = watcher::compile_change(event);
                {
                    std::lock_guard lock(mutex);
                    compiling = false;
                    ++compiled_sent;
                }
                results_in.send(Finished{std::move(event), std::move(compiled)});
            }
        }
    }
};

// The instance thread: makes instances of compiled programs for the stocks, one at a time
// under COMPILE_LOCK (so it waits for a compile, the main loop does not), and hands each over
// through a channel that poll_reload empties.
struct HotReloadEngine::Maker {
    struct Job {
        std::shared_ptr<factory::InstanceStock> stock;
        dsp::Program program;
        std::uint32_t sample_rate;
        std::size_t block_size;
        std::size_t count;
    };
    struct Made {
        std::shared_ptr<factory::InstanceStock> stock;
        std::expected<dsp::FaustDsp, std::string> dsp;
        std::size_t count;  // of the stock's asked instances this accounts for
    };
    std::optional<support::channel::Sender<Job>> jobs;
    support::channel::Receiver<Made> made;
    std::jthread thread;

    Maker() : Maker(support::channel::unbounded<Job>(), support::channel::unbounded<Made>()) {}
    ~Maker() {
        jobs.reset();
        thread.request_stop();
    }

private:
    Maker(std::pair<support::channel::Sender<Job>, support::channel::Receiver<Job>> in,
          std::pair<support::channel::Sender<Made>, support::channel::Receiver<Made>> out)
        : jobs(std::move(in.first)),
          made(std::move(out.second)),
          thread([rx = std::move(in.second),
                  tx = std::move(out.first)](std::stop_token stop) mutable {
              ::pthread_setname_np(::pthread_self(), "zorva-faust-in");
              while (auto job = rx.recv()) {
                  for (std::size_t left = job->count; left > 0 && !stop.stop_requested(); --left) {
                      auto dsp =
                          dsp::FaustDsp::create(job->program, job->sample_rate, job->block_size);
                      const bool failed = !dsp;
                      tx.send(Made{job->stock, std::move(dsp), failed ? left : 1});
                      if (failed) break;
                  }
              }
          }) {}
};

namespace {
std::atomic<bool> abandoned{false};
}  // namespace

bool compile_abandoned() {
    return abandoned.load(std::memory_order_acquire);
}

HotReloadEngine::HotReloadEngine(audio_engine::engine::EngineController controller, Stocks stocks,
                                 std::unique_ptr<Compiler> compiler, std::unique_ptr<Maker> maker,
                                 watcher::DspWatcher watcher)
    : controller_(std::move(controller)),
      stocks_(std::move(stocks)),
      compiler_(std::move(compiler)),
      maker_(std::move(maker)),
      watcher_(std::move(watcher)) {}

HotReloadEngine::HotReloadEngine(HotReloadEngine&&) noexcept = default;
HotReloadEngine& HotReloadEngine::operator=(HotReloadEngine&&) noexcept = default;

HotReloadEngine::~HotReloadEngine() {
    if (!compiler_ || !compiler_->stop()) return;
    // A compile runs and may run for seconds: its thread and the instance thread (which may
    // wait for the compile's lock) are left to the process's end rather than waited for.
    support::log::info(target, "shutdown: a FAUST compile is left unfinished");
    abandoned.store(true, std::memory_order_release);
    (void)compiler_.release();
    if (maker_) {
        maker_->jobs.reset();
        maker_->thread.request_stop();
        maker_->thread.detach();
        (void)maker_.release();
    }
    drain_.wait = false;
}

namespace {
// Stocked instances are made for the engine's rate and block size, as the compiler asks.
std::shared_ptr<factory::InstanceStock> make_stock(const factory::FaustFactory& factory,
                                                   const audio_engine::engine::EngineConfig& c) {
    return std::make_shared<factory::InstanceStock>(
        factory::InstanceStock{factory.program(), c.sample_rate, c.max_block, {}, 0, {}});
}
}  // namespace

std::expected<std::pair<HotReloadEngine, AudioProcessor>, std::string> HotReloadEngine::create(
    audio_engine::engine::EngineConfig config, const fs::path& given) {
    auto [controller, processor] = audio_engine::engine::engine(config);
    Stocks stocks;
    auto [sender, receiver] = watcher::watch_channel();
    std::error_code ec;
    const fs::path dir = fs::absolute(given, ec);

    std::vector<fs::path> files;
    if (auto r = loader::collect_dsp_files(dir, files); !r) {
        return std::unexpected("failed to scan " + given.string() + ": " + r.error().message());
    }
    std::stable_sort(files.begin(), files.end());  // component by component
    for (const fs::path& file : files) {
        const fs::path rel = loader::relative_below(file, dir).value_or(file);
        auto name = loader::type_id(rel);
        if (!name) return std::unexpected("failed to read " + file.string() + ": invalid path");
        auto compiled = watcher::compile_change(WatchEvent{WatchEvent::Kind::Changed, *name, file});
        if (!compiled) return std::unexpected(std::move(compiled.error()));
        auto stock = make_stock(*compiled->factory, config);
        compiled->factory->attach_stock(stock);
        std::string type_id = compiled->decl.type_id;
        if (auto r = watcher::register_compiled(controller.registry(), std::move(*compiled)); !r)
            return std::unexpected(std::move(r.error()));
        stocks.insert_or_assign(std::move(type_id), std::move(stock));
    }
    auto compiler = std::make_unique<Compiler>(sender, std::move(receiver));
    auto watch = watcher::DspWatcher::create(dir, std::move(sender));
    if (!watch) return std::unexpected(std::move(watch.error()));
    return std::pair{HotReloadEngine(std::move(controller), std::move(stocks), std::move(compiler),
                                     std::make_unique<Maker>(), std::move(*watch)),
                     std::move(processor)};
}

HotReloadEngine::DrainReleases::~DrainReleases() {
    if (wait) {
        dsp::drain_deferred_releases();
    } else {
        dsp::try_drain_deferred_releases();
    }
}

std::expected<void, std::string> HotReloadEngine::register_type(watcher::CompiledType compiled) {
    auto stock = make_stock(*compiled.factory, controller_.config());
    compiled.factory->attach_stock(stock);
    std::string type_id = compiled.decl.type_id;
    if (auto r = watcher::register_compiled(controller_.registry(), std::move(compiled)); !r)
        return r;
    stocks_.insert_or_assign(std::move(type_id), std::move(stock));
    return {};
}

void HotReloadEngine::take_made() {
    if (!maker_ || in_flight_ == 0) return;  // every poll comes here: no lock when idle
    while (auto m = maker_->made.try_recv()) {
        in_flight_ -= std::min(in_flight_, m->count);
        auto& stock = *m->stock;
        stock.asked -= std::min(stock.asked, m->count);
        if (m->dsp) {
            stock.ready.push_back(std::move(*m->dsp));
            stock.failed.clear();
        } else {
            stock.failed = std::move(m->dsp.error());
        }
    }
}

bool HotReloadEngine::stock_for(const std::vector<audio_engine::ir::NodeInstance>& nodes,
                                std::span<const std::string_view> more, bool trim) {
    take_made();
    std::unordered_map<std::string_view, std::size_t> need;  // Faust nodes by type id
    for (const auto& node : nodes)
        ++need[node.type_id];
    for (const auto type_id : more)
        ++need[type_id];
    bool ready = true;
    for (auto& [type_id, stock] : stocks_) {
        const auto it = need.find(type_id);
        const std::size_t n = it == need.end() ? 0 : it->second;
        auto& s = *stock;
        if (trim) {
            while (s.ready.size() > n)
                s.ready.pop_back();
        }
        if (s.ready.size() >= n) continue;
        if (!s.failed.empty() && s.asked == 0) continue;  // the build reports why
        ready = false;
        const std::size_t missing = n - s.ready.size();
        if (s.asked >= missing || !maker_ || !maker_->jobs) continue;
        maker_->jobs->send(
            Maker::Job{stock, s.program, s.sample_rate, s.block_size, missing - s.asked});
        in_flight_ += missing - s.asked;
        s.asked = missing;
    }
    return ready;
}

void HotReloadEngine::top_up() {
    (void)stock_for(controller_.graph().nodes, {}, true);
}

bool HotReloadEngine::ready_for(const audio_engine::protocol::ClientMessage& message) {
    namespace msg = audio_engine::protocol;
    const auto& m = static_cast<const msg::ClientMessage::variant&>(message);
    if (const auto* load = std::get_if<msg::LoadGraph>(&m)) return stock_for(load->graph.nodes);
    if (const auto* add = std::get_if<msg::AddNode>(&m)) {
        const std::string_view type_id = add->type_id;
        return stock_for(controller_.graph().nodes, std::span(&type_id, 1));
    }
    if (const auto* batch = std::get_if<msg::GraphBatch>(&m)) {
        std::vector<std::string_view> added;
        for (const auto& inner : batch->commands) {
            if (const auto* add = std::get_if<msg::AddNode>(&inner)) added.push_back(add->type_id);
        }
        return stock_for(controller_.graph().nodes, added);
    }
    if (std::holds_alternative<msg::RemoveNode>(m) || std::holds_alternative<msg::Connect>(m) ||
        std::holds_alternative<msg::Disconnect>(m))
        return stock_for(controller_.graph().nodes);
    return true;
}

std::expected<void, std::string> HotReloadEngine::load_graph(audio_engine::ir::GraphIr graph) {
    auto result = load(controller_, graph);
    if (result) {
        graph_ = std::move(graph);
        reload_pending_ = false;  // built with the newest types already
    }
    top_up();
    return result;
}

audio_engine::engine::Result HotReloadEngine::handle_message(
    audio_engine::protocol::ClientMessage message) {
    auto result = controller_.handle_message(std::move(message));
    top_up();
    return result;
}

std::expected<std::vector<std::string>, std::string> HotReloadEngine::poll_reload() {
    dsp::try_drain_deferred_releases();
    take_made();
    std::vector<std::string> applied;
    // Lets the compile thread go on once this poll is done with the graph.
    struct MarkApplied {
        HotReloadEngine& engine;
        ~MarkApplied() {
            if (engine.unmarked_ == 0 || engine.reload_pending_) return;
            engine.compiler_->mark_applied(std::exchange(engine.unmarked_, 0));
        }
    } mark{*this};
    while (auto finished = compiler_->results.try_recv()) {
        std::string name = std::move(finished->event.name);
        if (finished->event.kind == WatchEvent::Kind::Changed) {
            ++unmarked_;
            if (!finished->compiled) return std::unexpected(std::move(finished->compiled.error()));
            if (auto r = register_type(std::move(*finished->compiled)); !r)
                return std::unexpected(std::move(r.error()));
        }
        support::log::info(target, "hot-reloaded FAUST node: " + name);
        applied.push_back(std::move(name));
    }
    if (!applied.empty() && graph_) {
        reload_pending_ |=
            std::any_of(graph_->nodes.begin(), graph_->nodes.end(), [&](const auto& n) {
                return std::find(applied.begin(), applied.end(), n.type_id) != applied.end();
            });
    }
    if (reload_pending_ && stock_for(graph_->nodes)) {
        reload_pending_ = false;
        support::log::info(target, "reloading graph after FAUST hot-reload");
        auto r = load(controller_, *graph_);
        // No trimming here: a held request may be waiting for instances beyond this graph's.
        (void)stock_for(controller_.graph().nodes);
        if (!r) return std::unexpected(r.error());
    }
    return applied;
}

}  // namespace audio_faust::hot_reload
