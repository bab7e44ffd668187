// The emulator's network side: standalone Asio, one io_context on one
// background thread, one coroutine per connection.
#include "morlune_sim/emulator.h"

#include <asio.hpp>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <ostream>
#include <thread>

namespace morlune::sim {

using asio::awaitable;
using asio::ip::tcp;

namespace {

std::string hexByte(std::uint8_t value) { return hex(&value, 1); }

std::string timeOfDay(std::chrono::system_clock::time_point at) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
    const long long day = ms % 86400000LL;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", day / 3600000, day / 60000 % 60,
                  day / 1000 % 60, day % 1000);
    return text;
}

std::string describeNumbers(const std::vector<std::uint32_t>& numbers) {
    constexpr std::size_t shown = 16;
    std::string text;
    for (std::size_t i = 0; i < numbers.size() && i < shown; ++i) {
        if (i != 0) text += ' ';
        text += std::to_string(numbers[i]);
    }
    if (numbers.size() > shown) text += " ... " + std::to_string(numbers.back());
    return text;
}

std::string describeList(const ListBlock& list) {
    std::string text;
    if (list.singleEntry)
        text = "list block, single entry: page " + hexByte(list.page) + ", offset " +
               hexByte(list.offset) + ", number ";
    else
        text = "list block, bitmap of " + std::to_string(list.dataLength) + " data bytes, " +
               std::to_string(list.numbers.size()) + " numbers: ";
    text += describeNumbers(list.numbers);
    if (!list.sound) text += "; bad checksum";
    return text;
}

}  // namespace

std::string formatEvent(const FrameEvent& event) {
    const char* arrow = event.direction == Direction::fromHost ? "<-"
                        : event.direction == Direction::toHost ? "->"
                                                               : "--";
    std::string line = timeOfDay(event.at) + " #" + std::to_string(event.connection) + " " +
                       event.local + " " + arrow + " ";
    if (!event.bytes.empty()) line += hex(event.bytes, 48) + "  ";
    return line + event.meaning;
}

FrameSink streamSink(std::ostream& out) {
    auto guard = std::make_shared<std::mutex>();
    return [&out, guard](const FrameEvent& event) {
        const std::string line = formatEvent(event);
        std::lock_guard lock(*guard);
        out << line << '\n';
        out.flush();
    };
}

struct Emulator::Impl {
    asio::io_context io;  // first: destroyed last, after everything bound to it
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    std::thread thread;
    FrameSink sink;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    Scenario scenario;
    std::deque<Script> scripts;
    std::deque<Transcript> transcripts;
    std::vector<BlackListRecord> lists;
    std::vector<WriteRecord> writes;
    bool keepRecords = true;      // set before start(); fixed while serving
    std::size_t connections = 0;  // accepted so far
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
    std::vector<std::unique_ptr<tcp::socket>> fillers;
    bool ran = false;  // the background thread has left io.run()

    // Touched on the io thread only: how to end each live session at once.
    std::map<std::size_t, std::function<void()>> live;
    bool stopping = false;

    // Ends every listener and session on the io thread, so that run() returns
    // with no operation left outstanding (destroying an io_context with
    // overlapped operations still in flight can hang on Windows).
    void shutdown() {
        stopping = true;
        {
            std::lock_guard lock(mutex);
            asio::error_code ec;
            for (auto& acceptor : acceptors) acceptor->close(ec);
            for (auto& filler : fillers) filler->close(ec);
        }
        for (auto& [id, end] : live) end();
    }

    void emit(std::size_t id, const std::string& local, Direction direction, Bytes bytes,
              std::string meaning) {
        if (!sink) return;
        FrameEvent event{std::chrono::system_clock::now(), id, local, direction, std::move(bytes),
                         std::move(meaning)};
        sink(event);
    }

    template <typename Change>
    void update(std::size_t id, Change change) {
        if (!keepRecords) return;
        {
            std::lock_guard lock(mutex);
            change(transcripts[id]);
        }
        changed.notify_all();
    }
};

namespace {

// One accepted connection: its socket, and what it records.
class Session {
public:
    Session(Emulator::Impl& impl, tcp::socket socket, std::size_t id, std::string local)
        : impl_(impl), socket_(std::move(socket)), id_(id), local_(std::move(local)) {
        impl_.live[id_] = [this] {
            asio::error_code ec;
            socket_.close(ec);
            if (timer_ != nullptr) timer_->cancel();
        };
    }
    ~Session() { impl_.live.erase(id_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Emulator::Impl& impl() { return impl_; }
    // Whether frames are logged at all: without a sink, the hot paths skip
    // building their text.
    bool logging() const { return static_cast<bool>(impl_.sink); }

    void log(Direction direction, Bytes bytes, std::string meaning) {
        impl_.emit(id_, local_, direction, std::move(bytes), std::move(meaning));
    }
    void note(std::string meaning) { log(Direction::note, {}, std::move(meaning)); }

    // Appends exactly `count` bytes to `out`; false when the host closed or the
    // read failed first (what did arrive is appended all the same). Reads
    // straight into `out`: a buffer in the coroutine frame would make every
    // call allocate and free a 4 KiB frame.
    awaitable<bool> take(std::size_t count, Bytes& out) {
        constexpr std::size_t most = 4096;
        while (count > 0) {
            if (!socket_.is_open()) co_return false;
            asio::error_code ec;
            const std::size_t asked = count < most ? count : most;
            const std::size_t before = out.size();
            out.resize(before + asked);
            const std::size_t got = co_await socket_.async_read_some(
                asio::buffer(out.data() + before, asked), asio::redirect_error(asio::use_awaitable, ec));
            out.resize(before + got);
            if (got > 0) {
                record(out.data() + before, got);
                count -= got;
            }
            if (ec) {
                hostGone(ec);
                co_return count == 0;
            }
        }
        co_return true;
    }

    // Takes whatever comes until the host closes.
    awaitable<void> drain() {
        for (;;) {
            Bytes chunk;
            const bool more = co_await take(4096, chunk);
            if (!chunk.empty()) log(Direction::fromHost, chunk, "taken while silent");
            if (!more) co_return;
        }
    }

    // Sends the bytes in the given pieces (the rest last), `gap` apart.
    awaitable<void> give(const Bytes& bytes, const std::vector<std::size_t>& pieces, Millis gap,
                         const std::string& meaning) {
        std::vector<std::size_t> sizes;
        std::size_t left = bytes.size();
        for (const std::size_t piece : pieces) {
            if (left == 0) break;
            const std::size_t size = piece < left ? piece : left;
            if (size == 0) continue;
            sizes.push_back(size);
            left -= size;
        }
        if (left > 0 || sizes.empty()) sizes.push_back(left);
        std::size_t offset = 0;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            if (i != 0 && gap.count() > 0) co_await sleep(gap);
            const std::uint8_t* piece = bytes.data() + offset;
            const std::size_t size = sizes[i];
            offset += size;
            if (logging())
                log(Direction::toHost, Bytes(piece, piece + size),
                    sizes.size() == 1 ? meaning
                                      : meaning + " (piece " + std::to_string(i + 1) + " of " +
                                            std::to_string(sizes.size()) + ")");
            if (!socket_.is_open()) continue;
            asio::error_code ec;
            co_await asio::async_write(socket_, asio::buffer(piece, size),
                                       asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                note("send failed: " + ec.message());
            } else {
                impl_.update(id_, [&](Transcript& t) { t.sent.insert(t.sent.end(), piece, piece + size); });
            }
        }
    }

    awaitable<void> sleep(Millis duration) {
        asio::steady_timer timer(socket_.get_executor(), duration);
        timer_ = &timer;
        asio::error_code ec;
        co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        timer_ = nullptr;
    }

    void close() {
        note("closes the connection");
        // A plain close: the host sees the end only once the socket is gone,
        // so whatever it sends afterwards is refused.
        asio::error_code ec;
        socket_.close(ec);
    }

    void reset() {
        note("resets the connection");
        asio::error_code ec;
        socket_.set_option(asio::socket_base::linger(true, 0), ec);
        socket_.close(ec);
    }

    void finish() {
        asio::error_code ec;
        socket_.close(ec);
        impl_.update(id_, [](Transcript& t) { t.finished = true; });
    }

private:
    void record(const std::uint8_t* bytes, std::size_t count) {
        impl_.update(id_, [&](Transcript& t) { t.received.insert(t.received.end(), bytes, bytes + count); });
    }

    void hostGone(const asio::error_code& ec) {
        if (hostClosed_) return;
        hostClosed_ = true;
        note(ec == asio::error::eof ? "host closed the connection" : "connection ended: " + ec.message());
        impl_.update(id_, [](Transcript& t) { t.hostClosed = true; });
    }

    Emulator::Impl& impl_;
    tcp::socket socket_;
    std::size_t id_;
    std::string local_;
    bool hostClosed_ = false;
    asio::steady_timer* timer_ = nullptr;  // the pause under way, if any
};

// Built outside the coroutines: g++ 12 cannot keep a braced list in a coroutine frame.
Bytes acknowledgement() { return Bytes{ackFirst, ackSecond}; }

std::string device(std::uint8_t number) { return "device " + std::to_string(number); }

// Delay, fault, pieces and surplus of a reaction applied to one answer.
// False when the reaction ended the connection.
awaitable<bool> answer(Session& s, const Reaction& r, Bytes bytes, std::string meaning) {
    if (r.delay.count() > 0) co_await s.sleep(r.delay);
    switch (r.fault) {
        case Fault::silence:
            s.note("stays silent instead of: " + meaning);
            co_return true;
        case Fault::close:
            s.close();
            co_return false;
        case Fault::reset:
            s.reset();
            co_return false;
        case Fault::none:
        case Fault::badChecksum: break;
    }
    Bytes whole = bytes;
    whole.insert(whole.end(), r.surplus.begin(), r.surplus.end());
    const std::string what = r.surplus.empty() ? meaning
                                               : meaning + " + " + std::to_string(r.surplus.size()) +
                                                     " surplus bytes";
    co_await s.give(whole, r.pieces, r.gap, what);
    co_return true;
}

awaitable<bool> blackList(Session& s, const Bytes& header, const Reaction& r) {
    s.log(Direction::fromHost, header, "black-list header, " + device(header[0]));
    Bytes block;
    bool whole = co_await s.take(listPrefixLength, block);
    if (whole) whole = co_await s.take(listDataLength(block.data()) + 1, block);
    if (!whole) {
        s.log(Direction::fromHost, block, "list block cut short");
        co_return false;
    }
    BlackListRecord record{header[0], header, block, decodeListBlock(block)};
    s.log(Direction::fromHost, block, describeList(record.list));
    const bool sound = record.list.sound;
    {
        std::lock_guard lock(s.impl().mutex);
        if (s.impl().keepRecords) s.impl().lists.push_back(std::move(record));
    }
    if (!sound) {
        s.note("no acknowledgement for a list block with a bad checksum");
        co_return true;
    }
    co_return co_await answer(s, r, r.ack.value_or(acknowledgement()), std::string("acknowledgement"));
}

awaitable<bool> write(Session& s, const Bytes& command, const Reaction& r) {
    const std::uint8_t code = command[1];
    WriteRecord record{command[0], code, command, {}, true};
    if (r.dataLength == 0) {
        s.log(Direction::fromHost, command,
              "command, " + device(command[0]) + ", code " + hexByte(code) + ", no answer");
        std::lock_guard lock(s.impl().mutex);
        if (s.impl().keepRecords) s.impl().writes.push_back(std::move(record));
        co_return true;
    }
    s.log(Direction::fromHost, command,
          "write command, " + device(command[0]) + ", code " + hexByte(code) + ", " +
              std::to_string(r.dataLength) + " data bytes to follow");
    const bool whole = co_await s.take(r.dataLength + 1, record.data);
    record.sound = whole && soundBlock(record.data);
    s.log(Direction::fromHost, record.data,
          !whole          ? "data block cut short"
          : record.sound ? "data block, " + std::to_string(r.dataLength) + " bytes + checksum"
                         : "data block with a bad checksum (want " +
                               hexByte(sum8(record.data.data(), record.data.size() - 1)) + ")");
    const bool sound = record.sound;
    {
        std::lock_guard lock(s.impl().mutex);
        if (s.impl().keepRecords) s.impl().writes.push_back(std::move(record));
    }
    if (!whole) co_return false;
    if (!sound) {
        s.note("no acknowledgement for a data block with a bad checksum");
        co_return true;
    }
    const bool quiet = code == 0xB5 || code == 0xB6;  // the host does not wait for these
    const Bytes ack = r.ack.value_or(quiet ? Bytes() : acknowledgement());
    if (ack.empty() && r.surplus.empty() && r.fault == Fault::none) co_return true;
    co_return co_await answer(s, r, ack, std::string("acknowledgement"));
}

awaitable<void> runDevice(Session& s) {
    bool afterReply = false;   // a read reply went out: the host's 02 4F (or 00 00) may follow
    int presenceDevice = -1;   // who answered the last A0 on this connection
    for (;;) {
        Bytes frame;
        if (!co_await s.take(2, frame)) {
            if (!frame.empty()) s.log(Direction::fromHost, frame, "frame cut short");
            co_return;
        }
        if (frame[0] == ackFirst && frame[1] == ackSecond) {
            s.log(Direction::fromHost, frame, afterReply ? "acknowledgement of the reply" : "acknowledgement");
            afterReply = false;
            continue;
        }
        if (afterReply && frame[0] == 0 && frame[1] == 0) {
            s.log(Direction::fromHost, frame, "two zero bytes after the reply");
            afterReply = false;
            continue;
        }
        afterReply = false;

        const std::uint8_t number = frame[0];
        const std::uint8_t code = frame[1];
        std::optional<Reaction> found;
        {
            std::lock_guard lock(s.impl().mutex);
            // The second stage goes to device 0; the device asked in the first stage answers it.
            if (code == codePresenceSecond && presenceDevice >= 0)
                found = s.impl().scenario.find(static_cast<std::uint8_t>(presenceDevice), code);
            if (!found) found = s.impl().scenario.find(number, code);
        }
        const Reaction r = found.value_or(Reaction{});
        const std::size_t commandLength = r.commandLength < 2 ? 2 : r.commandLength;
        if (!co_await s.take(commandLength - 1, frame)) {
            s.log(Direction::fromHost, frame, "command cut short");
            co_return;
        }
        if (!soundBlock(frame)) {
            s.log(Direction::fromHost, frame,
                  "command with a bad checksum (want " + hexByte(sum8(frame.data(), frame.size() - 1)) +
                      "), ignored");
            continue;
        }

        bool open = true;
        if (code == codeBlackList) {
            open = co_await blackList(s, frame, r);
        } else if (code == codePresence) {
            presenceDevice = number;
            s.log(Direction::fromHost, frame, "presence query, stage 1, " + device(number));
            const Bytes reply = r.reply.empty() ? presenceFirstReply(number) : paddedReply(r.reply, 8, number, code);
            open = co_await answer(s, r, reply, std::string("presence reply 1"));
        } else if (code == codePresenceSecond) {
            const auto echo = static_cast<std::uint8_t>(presenceDevice >= 0 ? presenceDevice : number);
            s.log(Direction::fromHost, frame, "presence query, stage 2, for " + device(echo));
            const Bytes reply = r.reply.empty() ? presenceSecondReply(echo) : paddedReply(r.reply, 6, echo, code);
            open = co_await answer(s, r, reply, std::string("presence reply 2"));
        } else if (r.replyLength > 0) {
            if (s.logging())
                s.log(Direction::fromHost, frame,
                      "read command, " + device(number) + ", code " + hexByte(code) + ", reply of " +
                          std::to_string(r.replyLength) + " bytes");
            Bytes reply = withSum(paddedReply(r.reply, r.replyLength, number, code));
            if (r.fault == Fault::badChecksum) reply.back() = static_cast<std::uint8_t>(reply.back() + 1);
            open = co_await answer(s, r, reply,
                                   std::string(r.fault == Fault::badChecksum ? "reply with a wrong checksum" : "reply"));
            afterReply = true;
        } else {
            open = co_await write(s, frame, r);
        }
        if (!open) co_return;
    }
}

awaitable<void> runScripted(Session& s, Script script) {
    for (const Step& next : script) {
        switch (next.kind) {
            case Step::Kind::expect: {
                Bytes got;
                const bool whole = co_await s.take(next.count, got);
                s.log(Direction::fromHost, got,
                      whole ? "expected " + std::to_string(next.count) + " bytes"
                            : "host stopped after " + std::to_string(got.size()) + " of " +
                                  std::to_string(next.count) + " expected bytes");
                if (!whole) co_return;
                break;
            }
            case Step::Kind::send: co_await s.give(next.bytes, next.pieces, next.gap, std::string("scripted")); break;
            case Step::Kind::pause: co_await s.sleep(next.gap); break;
            case Step::Kind::silent: co_await s.drain(); co_return;
            case Step::Kind::close: s.close(); co_return;
            case Step::Kind::reset: s.reset(); co_return;
        }
    }
    co_await s.drain();
}

awaitable<void> serve(Emulator::Impl* impl, tcp::socket socket, std::size_t id, std::string local,
                      Face face, Script script) {
    if (impl->stopping) co_return;  // accepted while shutting down
    Session s(*impl, std::move(socket), id, std::move(local));
    s.note(face == Face::device ? "connection accepted (device)" : "connection accepted (scripted)");
    try {
        if (face == Face::device)
            co_await runDevice(s);
        else
            co_await runScripted(s, std::move(script));
    } catch (const std::exception& e) {
        s.note(std::string("session failed: ") + e.what());
    }
    s.finish();
}

awaitable<void> acceptLoop(Emulator::Impl* impl, tcp::acceptor* acceptor, Face face, std::string local) {
    for (;;) {
        asio::error_code ec;
        tcp::socket socket = co_await acceptor->async_accept(asio::redirect_error(asio::use_awaitable, ec));
        if (ec == asio::error::operation_aborted || !acceptor->is_open()) co_return;
        if (ec) {
            asio::steady_timer timer(acceptor->get_executor(), Millis{50});
            co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            continue;
        }
        socket.set_option(tcp::no_delay(true), ec);
        Script script;
        std::size_t id = 0;
        {
            std::lock_guard lock(impl->mutex);
            if (face == Face::scripted && !impl->scripts.empty()) {
                script = std::move(impl->scripts.front());
                impl->scripts.pop_front();
            }
            id = impl->connections++;
            if (impl->keepRecords) {
                impl->transcripts.emplace_back();
                impl->transcripts.back().local = local;
            }
        }
        impl->changed.notify_all();
        asio::co_spawn(impl->io, serve(impl, std::move(socket), id, local, face, std::move(script)),
                       asio::detached);
    }
}

std::unique_ptr<tcp::acceptor> openAcceptor(asio::io_context& io, const std::string& address,
                                            std::uint16_t port, int backlog) {
    const tcp::endpoint endpoint(asio::ip::make_address_v4(address), port);
    auto acceptor = std::make_unique<tcp::acceptor>(io);
    acceptor->open(endpoint.protocol());
#ifndef _WIN32
    // Lets a listener come back while old connections linger in TIME_WAIT. On
    // Windows the same option would let two listeners share the port.
    acceptor->set_option(asio::socket_base::reuse_address(true));
#endif
    acceptor->bind(endpoint);
    acceptor->listen(backlog);
    return acceptor;
}

}  // namespace

Emulator::Emulator(FrameSink sink) : impl_(std::make_unique<Impl>()) { impl_->sink = std::move(sink); }

Emulator::~Emulator() {
    stop();
    impl_->acceptors.clear();
    impl_->fillers.clear();
}

std::uint16_t Emulator::listen(const std::string& address, std::uint16_t port, Face face) {
    auto acceptor = openAcceptor(impl_->io, address, port, asio::socket_base::max_listen_connections);
    const std::uint16_t bound = acceptor->local_endpoint().port();
    const std::string local = address + ":" + std::to_string(bound);
    asio::co_spawn(impl_->io, acceptLoop(impl_.get(), acceptor.get(), face, local), asio::detached);
    std::lock_guard lock(impl_->mutex);
    impl_->acceptors.push_back(std::move(acceptor));
    return bound;
}

std::uint16_t Emulator::listenUnanswered(const std::string& address, std::uint16_t port) {
    auto acceptor = openAcceptor(impl_->io, address, port, 0);
    const tcp::endpoint endpoint = acceptor->local_endpoint();
    // The smallest backlog takes one connection; this one fills it, and later
    // attempts are left without an answer.
    auto filler = std::make_unique<tcp::socket>(impl_->io);
    filler->connect(endpoint);
    std::lock_guard lock(impl_->mutex);
    impl_->acceptors.push_back(std::move(acceptor));
    impl_->fillers.push_back(std::move(filler));
    return endpoint.port();
}

void Emulator::setScenario(Scenario scenario) {
    std::lock_guard lock(impl_->mutex);
    impl_->scenario = std::move(scenario);
}

void Emulator::addScript(Script script) {
    std::lock_guard lock(impl_->mutex);
    impl_->scripts.push_back(std::move(script));
}

void Emulator::start() {
    if (impl_->thread.joinable()) return;
    impl_->thread = std::thread([impl = impl_.get()] {
        impl->io.run();
        {
            std::lock_guard lock(impl->mutex);
            impl->ran = true;
        }
        impl->changed.notify_all();
    });
}

void Emulator::stop() {
    if (!impl_->thread.joinable()) return;
    asio::post(impl_->io, [impl = impl_.get()] { impl->shutdown(); });
    impl_->work.reset();
    {
        // Ending the sessions takes a moment; an operation that never
        // completes must not hold the host's test or tool forever.
        std::unique_lock lock(impl_->mutex);
        if (!impl_->changed.wait_for(lock, std::chrono::seconds(5), [&] { return impl_->ran; }))
            impl_->io.stop();
    }
    impl_->thread.join();
}

void Emulator::keepRecords(bool keep) {
    std::lock_guard lock(impl_->mutex);
    impl_->keepRecords = keep;
}

std::size_t Emulator::connectionCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->connections;
}

Transcript Emulator::transcript(std::size_t index, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait_for(lock, timeout, [&] {
        return index < impl_->transcripts.size() && impl_->transcripts[index].finished;
    });
    return index < impl_->transcripts.size() ? impl_->transcripts[index] : Transcript{};
}

std::vector<BlackListRecord> Emulator::blackLists() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->lists;
}

std::vector<WriteRecord> Emulator::writes() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->writes;
}

}  // namespace morlune::sim
