// libkorvane++: every public header in one include.
#pragma once

#include "Types.hpp"
#include "util/Endianness.hpp"
#include "util/Allocator.hpp"
#include "util/XSalsa20.hpp"
#include "util/Blake2b.hpp"
#include "util/Random.hpp"
#include "util/UUID.hpp"
#include "util/LZ4.hpp"
#include "message/Message.hpp"
#include "transport/Transport.hpp"
#include "transport/TransportFramer.hpp"
#include "pipeline/PipelineImpl.hpp"
#include "pipeline/Encoder.hpp"
#include "pipeline/Decoder.hpp"
#include "pipeline/Pipeline.hpp"
#include "socket/SocketImpl.hpp"
