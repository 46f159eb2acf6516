#include <gtest/gtest.h>

#include <memory>

#include "StageHelpers.hpp"
#include "pipeline/Pipeline.hpp"
#include "pipeline/decoder/Decompressor.hpp"
#include "pipeline/decoder/Decryptor.hpp"
#include "pipeline/encoder/Compressor.hpp"
#include "pipeline/encoder/Encryptor.hpp"

using namespace korvane;
using namespace korvane::testing;

namespace {

// Appends one byte, or fails when told to; counts its calls.
class Tagger : public Encoder {
public:
    Tagger(char tag, bool fail, int* calls) : m_tag(tag), m_fail(fail), m_calls(calls) {}
    Message process(Message input, Transport::StatusCode* status) override
    {
        ++*m_calls;
        if (m_fail) {
            *status = Status(Status::TRANSPORT_STATUS_NO_DATA, std::string("failed at ") + m_tag);
            return Message();
        }
        Message output(input.length() + 1);
        std::memcpy(output.buffer(), input.buffer(), static_cast<std::size_t>(input.length()));
        static_cast<char*>(output.buffer())[input.length()] = m_tag;
        *status = Status();
        return output;
    }
    Tagger* clone() const override { return new Tagger(m_tag, m_fail, m_calls); }

private:
    char m_tag;
    bool m_fail;
    int* m_calls;
};

Message text(const char* value)
{
    return Message(value, static_cast<korvane_buf_len_t>(std::strlen(value)));
}

std::string as_string(const Message& message)
{
    return message.null() ? std::string()
                          : std::string(static_cast<const char*>(message.buffer()),
                                        static_cast<std::size_t>(message.length()));
}

} // namespace

TEST(Pipeline, EmptyPipelinePassesEverythingThroughWithOkay)
{
    Pipeline pipeline;
    Status status(Status::TRANSPORT_STATUS_UNKNOWN, "unset");
    Message input = text("abc");
    const void* buffer = input.buffer();
    const Message encoded = pipeline.encode(std::move(input), &status);
    EXPECT_EQ(buffer, encoded.buffer());
    EXPECT_EQ(Status(), status);

    status = Status(Status::TRANSPORT_STATUS_UNKNOWN, "unset");
    EXPECT_TRUE(pipeline.decode(Message(), &status).null());
    EXPECT_EQ(Status(), status);
    EXPECT_TRUE(pipeline.encode(Message(), nullptr).null());
}

TEST(Pipeline, StagesRunInOrderAndTheFirstFailureStopsTheChain)
{
    int calls = 0;
    Pipeline pipeline;
    pipeline.append_encoder(std::make_shared<Tagger>('1', false, &calls));
    pipeline.append_encoder(std::make_shared<Tagger>('2', false, &calls));
    Status status;
    EXPECT_EQ("x12", as_string(pipeline.encode(text("x"), &status)));
    EXPECT_EQ(2, calls);

    calls = 0;
    Pipeline failing;
    failing.append_encoder(std::make_shared<Tagger>('1', true, &calls));
    failing.append_encoder(std::make_shared<Tagger>('2', false, &calls));
    EXPECT_TRUE(failing.encode(text("x"), &status).null());
    EXPECT_EQ(1, calls);
    EXPECT_EQ(Status(Status::TRANSPORT_STATUS_NO_DATA, "failed at 1"), status);
}

TEST(Pipeline, CompressionThenEncryptionUndoneByDecodersInReverse)
{
    Pipeline sender;
    sender.append_encoder(std::make_shared<Compressor>());
    sender.append_encoder(std::make_shared<Encryptor>());
    Pipeline receiver;
    receiver.append_decoder(std::make_shared<Decryptor>());
    receiver.append_decoder(std::make_shared<Decompressor>());
    for (korvane_buf_len_t size : {1, 1000, 1 << 20}) {
        const Message plain = filled_message(size, 0x42);
        Status status;
        const Message encoded = sender.encode(plain, &status);
        ASSERT_EQ(Status(), status);
        EXPECT_LT(encoded.length(), size + 16 + 5 + 2);
        EXPECT_TRUE(same_bytes(plain, receiver.decode(encoded, &status)));
        EXPECT_EQ(Status(), status);
    }
    // Decoders in the sender's order cannot undo it.
    Pipeline wrong_order;
    wrong_order.append_decoder(std::make_shared<Decompressor>());
    wrong_order.append_decoder(std::make_shared<Decryptor>());
    Status status;
    EXPECT_TRUE(wrong_order.decode(sender.encode(random_message(100), &status), &status).null());
    EXPECT_EQ(Status::TRANSPORT_STATUS_PIPELINE_DECODE_ERROR, status.code());
}

TEST(Pipeline, CopyClonesStagesWithFreshCounters)
{
    Pipeline original;
    original.append_encoder(std::make_shared<Encryptor>());
    original.append_decoder(std::make_shared<Decryptor>());
    for (int i = 0; i < 5; ++i) {
        Status status;
        original.decode(original.encode(random_message(10), &status), &status);
        ASSERT_EQ(Status(), status);
    }
    Pipeline copy(original);
    EXPECT_NE(original.encoder<Encryptor>(), copy.encoder<Encryptor>());
    EXPECT_NE(original.decoder<Decryptor>(), copy.decoder<Decryptor>());
    // The copy starts at nonce 0, which the original's decoder is past.
    const Message plain = random_message(10);
    Status status;
    const Message sealed = copy.encode(plain, &status);
    EXPECT_TRUE(same_bytes(plain, copy.decode(sealed, &status)));
    EXPECT_TRUE(original.decode(sealed, &status).null());
}

TEST(Pipeline, AssignmentAppendsClonesAndSelfAssignmentDoesNothing)
{
    int calls = 0;
    Pipeline one;
    one.append_encoder(std::make_shared<Tagger>('a', false, &calls));
    Pipeline target;
    target.append_encoder(std::make_shared<Tagger>('b', false, &calls));
    target = one;
    Status status;
    EXPECT_EQ("xba", as_string(target.encode(text("x"), &status)));

    Pipeline& alias = target;
    target = alias;
    EXPECT_EQ("xba", as_string(target.encode(text("x"), &status)));
}

TEST(Pipeline, LookupFindsTheFirstStageOfAType)
{
    Pipeline pipeline;
    EXPECT_FALSE(pipeline.encoder<Encryptor>());
    pipeline.append_encoder(Pipeline::EncoderEntry());
    auto compressor = std::make_shared<Compressor>();
    auto first = std::make_shared<Encryptor>();
    pipeline.append_encoder(compressor);
    pipeline.append_encoder(first);
    pipeline.append_encoder(std::make_shared<Encryptor>());
    EXPECT_EQ(first, pipeline.encoder<Encryptor>());
    EXPECT_EQ(compressor, pipeline.encoder<Compressor>());
    EXPECT_FALSE(pipeline.decoder<Decryptor>());
    // The ignored empty entry does not break encoding.
    Status status;
    EXPECT_FALSE(pipeline.encode(text("x"), &status).null());
}
