// igtl-dump: a native OpenIGTLink client for the Windows flavor's output test; one line per message.
// Usage: igtl-dump PORT SECONDS COUNT. Connects to 127.0.0.1:PORT (trying again for SECONDS while
// the server starts), unpacks each message with the protocol's library (CRC checked) and prints
// "TRANSFORM <name> <x> <y> <z>" (millimetres) or "STRING <name> <text>"; ends after COUNT messages
// or when the server closes.
#include <igtlClientSocket.h>
#include <igtlMessageHeader.h>
#include <igtlStringMessage.h>
#include <igtlTransformMessage.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: igtl-dump PORT SECONDS COUNT\n");
        return 2;
    }
    const int port = std::atoi(argv[1]), count = std::atoi(argv[3]);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[2]));
    igtl::ClientSocket::Pointer socket = igtl::ClientSocket::New();
    while (socket->ConnectToServer("127.0.0.1", port) != 0) {
        if (std::chrono::steady_clock::now() >= until) {
            std::fprintf(stderr, "igtl-dump: nothing listens on 127.0.0.1:%d\n", port);
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    int got = 0, bad = 0;
    while (got < count) {
        igtl::MessageHeader::Pointer header = igtl::MessageHeader::New();
        header->InitPack();
        if (socket->Receive(header->GetPackPointer(), header->GetPackSize()) != header->GetPackSize()) break;
        header->Unpack();
        const std::string type = header->GetDeviceType(), name = header->GetDeviceName();
        igtl::MessageBase::Pointer body;
        igtl::TransformMessage::Pointer transform;
        igtl::StringMessage::Pointer text;
        if (type == "TRANSFORM") {
            body = transform = igtl::TransformMessage::New();
        } else if (type == "STRING") {
            body = text = igtl::StringMessage::New();
        } else {
            std::printf("UNEXPECTED %s %s\n", type.c_str(), name.c_str());
            return 1;
        }
        body->SetMessageHeader(header);
        body->AllocatePack();
        if (socket->Receive(body->GetPackBodyPointer(), body->GetPackBodySize()) != body->GetPackBodySize()) break;
        if ((body->Unpack(1) & igtl::MessageHeader::UNPACK_BODY) == 0) {
            std::printf("BAD %s %s\n", type.c_str(), name.c_str());
            ++bad;
        } else if (transform) {
            igtl::Matrix4x4 m;
            transform->GetMatrix(m);
            std::printf("TRANSFORM %s %.3f %.3f %.3f\n", name.c_str(), m[0][3], m[1][3], m[2][3]);
        } else {
            std::printf("STRING %s %s\n", name.c_str(), text->GetString());
        }
        std::fflush(stdout);
        ++got;
    }
    socket->CloseSocket();
    return bad == 0 ? 0 : 1;
}
