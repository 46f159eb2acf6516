// One ordered message stream spread over several underlying sockets to the
// same peer. Every message is numbered, handed to whichever connection is
// free, and put back in order at the receiver.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

#include "message/Message.hpp"
#include "pipeline/Pipeline.hpp"
#include "socket/SocketImpl.hpp"
#include "transport/Transport.hpp"
#include "util/SpinningMutex.hpp"

namespace korvane {

namespace detail {
class Alarm;
class Lifetime;
struct AcceptedConnection;
struct Route;
} // namespace detail

// Threads: send, recv, accept_async and close may be called from any thread;
// handlers and asynchronous callbacks run inside start(), except where an
// operation says it answers on the calling thread. Blocking send and recv wait
// for the event loop, so never call them on a loop thread.
//
// Failures: after close() every operation and every queued sender, receiver and
// accept_async caller gets TRANSPORT_STATUS_SHUTDOWN, "Shutdown was triggered".
// A connection that fails is closed and dropped; the oldest waiting receiver
// is told with a null message and the default status, and the stream goes on
// over the others. A frame whose underlying send fails is not sent again: the
// oldest waiting sender gets that failure. When every connection has failed,
// queued and later sends and receives fail at once with
// TRANSPORT_STATUS_NOT_CONNECTED; frames that already arrived in order are
// still delivered first. When a frame is provably lost with a failed
// connection (every live connection has moved past it), receives fail with
// TRANSPORT_STATUS_CONNECTION_ABORTED instead of waiting for it.
//
// Lifetime: the socket may be destroyed from any thread, also from its own
// callbacks, with operations outstanding; later completions find it gone.
// Empty callbacks are ignored: nothing is started.
class MultiplexedSocket : public SocketImpl {
public:
    /// Takes ownership of `sockets`, in order of use. A client passes N
    /// unconnected sockets and calls connect(); a server passes exactly one and
    /// calls bind(). Returns an empty Socket when `sockets` is empty or holds
    /// an empty entry.
    static Socket create(std::vector<Socket> sockets);

    ~MultiplexedSocket() override;
    MultiplexedSocket(const MultiplexedSocket&) = delete;
    MultiplexedSocket(MultiplexedSocket&&) = delete;
    MultiplexedSocket& operator=(const MultiplexedSocket&) = delete;
    MultiplexedSocket& operator=(MultiplexedSocket&&) = delete;

    /// Blocking: connects every underlying socket in turn and sends each its
    /// id frame. On the first failure closes this socket and returns that
    /// status; later operations then report "Shutdown was triggered". Stages
    /// on this socket's own pipeline: TRANSPORT_STATUS_INVALID_ARGUMENT.
    Transport::StatusCode connect(std::string address, Transport::port_t port) noexcept override;
    /// Connects all underlying sockets at once. `callback` runs on a loop thread
    /// once per failing connection, and once with success when all are ready;
    /// refusals (after close(), stages on the own pipeline) come at once.
    void connect(std::string address, Transport::port_t port, connect_handler_t callback) noexcept override;
    /// Only with exactly one underlying socket, which becomes the listener;
    /// otherwise TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED (stages on the own
    /// pipeline: TRANSPORT_STATUS_INVALID_ARGUMENT). start() then runs the
    /// accept loop; unfinished groups are bounded and expire (see README).
    Transport::StatusCode bind(Transport::port_t port, std::string address) noexcept override;
    /// Not offered: TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED, empty Socket.
    Socket accept(Transport::StatusCode* status) noexcept override;
    /// `callback` gets the next complete group of connections as a new
    /// multiplexed socket, on a loop thread; or at once on the calling thread
    /// when a group is already waiting, after close(), or when this socket
    /// cannot listen. One call per expected client connect.
    void accept_async(accept_handler_t callback) noexcept override;
    /// Blocks until the next message in order arrives, at most Timeouts::recv
    /// when set (then TRANSPORT_STATUS_TIMEOUT). A null Message with the
    /// default status means a connection was lost (the stream goes on over the
    /// others); a failure kept from an earlier blocking send is reported here.
    /// A message already waiting is returned without writing `*status`. Where
    /// it would wait for its own thread: TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED.
    Message recv(Transport::StatusCode* status) noexcept override;
    /// `callback` gets the next message in order: at once on the calling thread
    /// when it is already here (or after close()), else on a loop thread.
    void recv(recv_handler_t callback) noexcept override;
    /// Returns once the message is copied into the send queue, blocking only
    /// while the queue is past BLOCKING_SEND_AHEAD (at most Timeouts::send
    /// when set). A message of LEND_FROM bytes or more with nothing queued
    /// before it, over connections without stages, waits instead for a
    /// connection with room and is handed to it from the caller's bytes
    /// (what it cannot write at once is copied before this returns); the
    /// wait ends like the queue's. A later failure of its frame is reported by the next send or
    /// recv and by close(). Larger than a frame carries:
    /// TRANSPORT_STATUS_MSG_TOO_LARGE, nothing numbered; no memory for its
    /// frame: TRANSPORT_STATUS_NO_MEMORY, nothing numbered. Where it would wait
    /// for its own thread: TRANSPORT_STATUS_OPERATION_NOT_SUPPORTED.
    Transport::StatusCode send(Message& message) noexcept override;
    Transport::StatusCode send(Message&& message) noexcept override;
    /// Queues the message; `callback` runs on a loop thread when a frame has
    /// gone out, or at once on the calling thread after close(), once every
    /// connection has failed, for a message too large (MSG_TOO_LARGE) or one
    /// its frame found no memory for (NO_MEMORY), or with
    /// TRANSPORT_STATUS_TRY_AGAIN while the queue is past its high-water mark.
    void send(Message& message, send_handler_t callback) noexcept override;
    void send(Message&& message, send_handler_t callback) noexcept override;
    /// Completes everything queued with "Shutdown was triggered" and closes
    /// every underlying socket; returns the last failing close, or else a
    /// failure of a frame whose blocking send had already returned.
    Transport::StatusCode close() noexcept override;
    /// Arms one more accept on a bound socket, then, on the first call on this
    /// thread, runs the event loop until it stops. Later calls on the same
    /// thread return at once. Always the default status.
    Transport::StatusCode start() noexcept override;
    /// Stops the event loop of the first underlying socket's transport class.
    void stop() noexcept override;
    /// Always false: work is queued here, never refused as busy.
    bool recv_pending() const noexcept override;
    bool send_pending() const noexcept override;
    /// Kept for the interface; traffic runs through the underlying sockets'
    /// own pipelines.
    Pipeline& pipeline() noexcept override;
    /// Kept for this socket's own waits and handed on to its underlying
    /// sockets; accepted groups start with their listener's.
    void timeouts(const Timeouts& timeouts) noexcept override;
    Timeouts timeouts() const noexcept override;

protected:
    using korvane_multiplex_frame_id_t = std::uint64_t;
    using korvane_multiplex_connection_uuid_t = korvane_uuid64_t;
    using korvane_multiplex_connection_id_t = std::uint32_t;

#pragma pack(push, 1)
    /// Data frame: big-endian sequence number, then the payload bytes.
    struct korvane_multiplex_frame_t {
        korvane_multiplex_frame_id_t uid;
    };
    /// First message on every connection of a group: the group id in the
    /// sender's byte order (an opaque key) and the big-endian group size.
    struct korvane_multiplex_id_frame_t {
        korvane_multiplex_connection_uuid_t uuid;
        korvane_multiplex_connection_id_t total;
    };
#pragma pack(pop)
    static_assert(sizeof(korvane_multiplex_frame_t) == 8, "data frame header is 8 bytes");
    static_assert(sizeof(korvane_multiplex_id_frame_t) == 12, "id frame is 12 bytes");

    explicit MultiplexedSocket(std::vector<Socket> socket);

    /// `message` behind `uid` (big-endian); advances `uid`.
    static Message create_multiplex_frame(const Message& message, korvane_multiplex_frame_id_t& uid);
    /// The frame's uid; 0 when it is too short to hold one.
    static korvane_multiplex_frame_id_t mutliplex_frame_id(const Message& message);
    /// A copy of the payload; null for frames of 8 bytes or fewer.
    static Message extract_mutliplex_frame(const Message& message);
    /// Heap order that puts the smallest uid on top.
    static bool multiplex_frame_cmp(const Message& lhs, const Message& rhs);
    /// The 12-byte id frame of a group.
    static Message create_id_frame(korvane_multiplex_connection_uuid_t uuid, korvane_multiplex_connection_id_t total);

    void accept_();
    void accept_handler(SocketImpl& context, Socket socket, const Transport::StatusCode& status);
    void accept_read_handler(SocketImpl& context, Message message, const Transport::StatusCode& status);

    void produce();
    void producer_handler(SocketImpl& context, Transport::StatusCode status);
    void consume();
    void consumer_handler(SocketImpl& context, Message message, const Transport::StatusCode& status);

    std::vector<Socket> m_sockets;
    Pipeline m_pipeline;
    Timeouts m_timeouts;
    korvane_multiplex_frame_id_t m_send_uid;
    korvane_multiplex_frame_id_t m_recv_uid;
    bool m_is_server;
    std::atomic<bool> m_stop;
    std::queue<Message> m_send_queue;
    std::priority_queue<Message, std::vector<Message>, std::function<bool(const Message&, const Message&)>> m_recv_queue;
    std::size_t m_parked_bytes = 0; // what is parked, frame overhead included
    std::vector<Socket> m_accept_queue;
    std::map<unsigned long, std::vector<Socket>> m_accept_multiplex_queue;
    std::queue<recv_handler_t> m_recv_callback_queue;
    std::queue<send_handler_t> m_send_callback_queue;
    std::queue<accept_handler_t> m_accept_callback_queue;
    Transport::StatusCode m_last_error;

    /// A frame that arrived ahead of its turn, with its uid read once.
    struct parked_frame_t {
        korvane_multiplex_frame_id_t uid;
        Message frame;
    };
    /// What this socket knows about one underlying connection.
    struct connection_state_t {
        /// Frames it delivered ahead of their turn. A connection carries
        /// increasing uids, so they queue here in order and the frame whose
        /// turn it is stands first on one of the connections; only a frame
        /// out of order on its own connection goes to m_recv_queue.
        std::deque<parked_frame_t> parked;
        std::deque<std::size_t> in_flight;  // lengths of the frames dealt to it and not completed, oldest first
        std::size_t bytes_in_flight = 0;    // their sum
        bool receiving = false; // one of our receives is outstanding on it
        bool failed = false;    // closed after a failure; takes no further part
        bool connecting = false; // an asynchronous connect or its id frame is outstanding
        bool delivered = false; // has delivered a data frame
        korvane_multiplex_frame_id_t last_uid = 0; // uid of its latest data frame
    };
    /// Frames dealt to one connection and not handed to it yet. Dealing
    /// (under m_mutex) and handing over (under the connection's call lock)
    /// meet only at this lock, so a loop thread handing frames over never
    /// waits for the socket's lock.
    struct outbox_t {
        std::mutex mutex;
        std::vector<Message> frames;  // dealt, under `mutex`
        std::vector<Message> handing; // taken out to be handed over, under the call lock
        bool lending = false; // a frame lent by a blocking send is being handed over first, under `mutex`
    };
    /// Work decided under the lock and carried out after it is released.
    struct Actions;
    /// One thread's run of this socket's actions, with the work that arrived
    /// re-entrantly on that thread while it ran.
    struct Executor;
    struct ConnectProgress;

    /// Frames that arrived ahead of their turn, or that the application has
    /// not asked for yet, are parked up to about this many bytes. Past it a
    /// connection reads on only while it may still carry the frame whose turn
    /// it is; the others wait until the application catches up, and their
    /// peers feel it as the transport's own back-pressure.
    static constexpr std::size_t MAX_PARKED_BYTES = std::size_t(64) << 20;
    /// Frames waiting for a free connection are held up to about this many
    /// bytes: a blocking send waits for room, an asynchronous one is refused.
    static constexpr std::size_t SEND_QUEUE_HIGH_WATER = std::size_t(16) << 20;
    /// A blocking send already waits for room once this many bytes queue: a
    /// sender that waits anyway gains nothing from running further ahead of
    /// its connections, and a shorter queue keeps the frames in cache.
    static constexpr std::size_t BLOCKING_SEND_AHEAD = std::size_t(4) << 20;
    /// Each connection is dealt frames while it has fewer than this many, and
    /// fewer bytes than this, not completed: its basic socket then writes them
    /// in batches, and one slow connection holds back little of the stream.
    static constexpr std::size_t MAX_FRAMES_IN_FLIGHT = 64;
    static constexpr std::size_t MAX_BYTES_IN_FLIGHT = std::size_t(1) << 20;
    /// A blocking send of at least this many bytes waits for a connection
    /// with room and writes its frame from the caller's bytes, rather than
    /// queueing a copy: the copy, and another core's cold read of it, cost
    /// more than the wait. Smaller frames are cheap to copy and gain more
    /// from being written in batches.
    static constexpr korvane_buf_len_t LEND_FROM = 32 * 1024;

    // ---- carrying out decisions (lock held on entry to act, released on return)
    /// False when this socket was destroyed meanwhile: then nothing of it may
    /// be touched.
    bool act(std::unique_lock<SpinningMutex>& lock, Actions&& actions);
    bool execute(Actions& actions);
    bool blocking_would_deadlock() const;
    bool own_pipeline_has_stages();
    /// Hands the sockets that still have an operation outstanding to the
    /// lifetime, which frees each once its last completion has come.
    void retire_sockets();
    void call_connection(std::size_t index, const std::function<void(SocketImpl&)>& call);
    /// Hands connection `index` every frame dealt to it so far, in the order
    /// dealt: the frames of one connection must reach it in uid order, whichever
    /// executor dealt them.
    void flush_outbox(std::size_t index);
    /// Under the call lock: hands over what flush_outbox() would.
    void hand_over_outbox(std::size_t index);
    /// Hands the frame a blocking send lent to its connection, then the
    /// frames dealt to it meanwhile.
    void hand_over_lent(Actions& actions);
    static std::vector<Executor*>& runs_on_this_thread();
    Executor* executor_on_this_thread();
    /// Before a blocking call waits on a thread that is carrying out this
    /// socket's actions: what that thread still has to do, done now.
    void run_pending_here();
    void connected(std::size_t index, const std::shared_ptr<ConnectProgress>& progress,
                   const Transport::StatusCode& status);
    void identified(std::size_t index, const std::shared_ptr<ConnectProgress>& progress,
                    const Transport::StatusCode& status);
    /// Marks the socket connected; frames flow in both directions from then.
    void start_traffic();
    std::size_t index_of(const SocketImpl& context) const;

    // ---- decisions: pure functions of the state, called under m_mutex
    void decide_sends(Actions& actions);
    /// The connection that should carry the next frame, or m_sockets.size().
    std::size_t least_loaded_connection() const;
    /// Forgets the frames dealt to connection `index` but not handed to it
    /// yet; returns how many.
    std::size_t take_back_unsent(std::size_t index);
    std::size_t unsent_frames(std::size_t index) const;
    void decide_send_done(std::size_t index, const Transport::StatusCode& status, Actions& actions);
    void decide_frame_arrived(std::size_t index, Message frame, const Transport::StatusCode& status,
                              Actions& actions);
    bool may_receive(const connection_state_t& connection) const;
    void decide_receives(Actions& actions);
    void decide_deliveries(Actions& actions);
    void decide_connection_failed(std::size_t index, Actions& actions);
    void decide_close(Actions& actions);
    void decide_id_frame(SocketImpl& context, Message message, const Transport::StatusCode& status,
                         Actions& actions);
    void decide_group_handover(Actions& actions);
    void decide_rearm(const Transport::StatusCode& status, Actions& actions);
    void decide_expiry(Actions& actions);
    void decide_waiting_frame(SocketImpl& context, Message message, const Transport::StatusCode& status,
                              Actions& actions);
    void take_out_of_group(SocketImpl& context, Actions& actions);
    void retire_accepted(Socket socket, Actions& actions);
    void read_accepted(SocketImpl& connection, Actions& actions);
    void accepted_frame(const std::shared_ptr<detail::Route>& route, SocketImpl& context, Message message,
                        const Transport::StatusCode& status);
    recv_handler_t accepted_completion(const std::shared_ptr<detail::Route>& route);
    bool schedule_alarm(std::chrono::steady_clock::time_point when);
    void on_alarm();
    MultiplexedSocket* assemble(std::vector<Socket> group);
    void park(std::size_t index, Message frame, korvane_multiplex_frame_id_t uid);
    Message unpark(std::size_t source);
    void clear_parked();
    bool next_frame_parked();
    std::size_t next_frame_source();
    void detect_lost_frame();

    Transport::StatusCode send_refusal(const Message& message);
    bool send_queue_has_room(std::size_t bound = SEND_QUEUE_HIGH_WATER) const;
    /// Wakes the blocking sends waiting for room, if any (a notify costs a
    /// lock of its own, and it is due after every deal).
    void notify_room();
    void enqueue_frame(Message frame, send_handler_t callback, Actions& actions);
    /// Waits on m_room, setting `deadline` from the send timeout on the
    /// first wait; false once the wait timed out.
    bool wait_for_room(std::unique_lock<SpinningMutex>& lock, std::chrono::steady_clock::time_point& deadline);
    bool lends(const Message& message);
    /// The blocking send of a message lends(): false, nothing done, when it
    /// has to be queued as a copy after all.
    bool send_lent(Message& message, Transport::StatusCode& status);
    /// A connection that may carry a lent frame now, or m_sockets.size().
    std::size_t lending_connection();
    send_handler_t returned_sender();
    void note_unreported_failure(const Transport::StatusCode& status);
    void queue_recv(recv_handler_t callback);
    bool withdraw_receiver(const void* wait);
    send_handler_t send_completion();
    recv_handler_t recv_completion();

    /// Guards every queue, counter and connection state below and above.
    mutable SpinningMutex m_mutex;
    std::vector<connection_state_t> m_connections;
    std::size_t m_live;                // connections not failed
    bool m_running;                    // connected: frames may flow
    bool m_send_broken;                // every connection failed
    bool m_recv_broken;                // no further frame can arrive in order
    Transport::StatusCode m_send_error;
    Transport::StatusCode m_recv_error;
    std::size_t m_queued_bytes = 0;            // what m_send_queue holds
    std::condition_variable_any m_room;        // m_send_queue fell below the high-water mark, or ended
    int m_room_waiters = 0;                    // blocking sends waiting on m_room
    Transport::StatusCode m_unreported_failure; // a returned blocking send's frame failed: next send or recv says so
    Transport::StatusCode m_failure_for_close;  // the same, kept for close()
    std::queue<std::vector<Socket>> m_accept_ready; // complete groups nobody asked for yet
    std::vector<std::thread::id> m_loop_threads;   // threads on which start() ran the loop
    std::vector<std::thread::id> m_looping;        // threads inside start() running it now
    std::shared_ptr<detail::Lifetime> m_lifetime;

    /// Bounds on what unfinished groups may hold on a listener: connections
    /// waiting for their id frame, groups being assembled, a group's size,
    /// and complete groups that no accept_async caller has taken yet.
    static constexpr std::size_t MAX_UNIDENTIFIED = 256;
    static constexpr std::size_t MAX_ASSEMBLING_GROUPS = 64;
    static constexpr std::uint32_t MAX_GROUP_SIZE = 64;
    static constexpr std::size_t MAX_UNCLAIMED_GROUPS = 16;
    /// Per accepted connection not handed over yet: its deadline, the receive
    /// kept armed on it, an early data frame.
    std::map<const SocketImpl*, std::shared_ptr<detail::AcceptedConnection>> m_accepted;
    std::chrono::milliseconds m_accept_backoff{0}; // current pause after a failing accept
    bool m_accept_paused = false;                  // re-armed by the alarm, not at once
    int m_accepts_outstanding = 0;                 // accepts of ours armed on the listener
    /// Calls into accepted connections not handed over yet, and their
    /// destruction, one at a time (the alarm thread closes them too).
    std::mutex m_accepted_calls;
    /// Declared last, destroyed first: its thread is gone before anything it
    /// could touch.
    std::unique_ptr<detail::Alarm> m_alarm;
    /// One per underlying socket: calls into it from two executors (a loop
    /// thread handing it a frame, close() on an application thread) must not
    /// overlap. Never nested: a completion that arrives during the call only
    /// queues work for the executor that made it.
    std::unique_ptr<std::mutex[]> m_connection_calls;
    std::unique_ptr<outbox_t[]> m_outboxes; // one per underlying socket
};

} // namespace korvane
