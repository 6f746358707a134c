// Tasks that run at once, each on its own manager, sign with their own
// certificates only.
#include <gtest/gtest.h>

#include <thread>

#include "crypto/cert_manager_csp.h"
#include "crypto/cert_manager_instance.h"
#include "crypto/decoded_messages.h"
#include "crypto_fixture.h"

namespace zuntar {
namespace {

class ConcurrentSigningTest : public test::CryptoTest {
 protected:
  SharedCertManager managers_;
};

TEST_F(ConcurrentSigningTest, EightTasksFourCertificatesNeverMixed) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 6;
  std::vector<test::Party> signers;
  for (int i = 0; i < 4; ++i)
    signers.push_back(Person("signer" + std::to_string(i), i % 2 ? GostKeyKind::k2012_512 : GostKeyKind::k2012_256));
  managers_.Create(1)->SetCertificate(signers[0].issued.der);
  const Bytes data = Data(1000);
  // For each thread and round: whether the signature verified with the
  // certificate the thread set, and carried that certificate.
  std::vector<std::vector<int>> good(kThreads, std::vector<int>(kRounds, 0));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const Bytes& mine = signers[t % 4].issued.der;
      for (int round = 0; round < kRounds; ++round) {
        // One task: its own manager, its certificate, a signature without
        // a body.
        std::unique_ptr<TVCertMgr> task = managers_.NewTaskManager();
        task->SetCertificate(mine);
        const Bytes signature = task->Sign(data, {}, true, false);
        TDecodedDetachedSignature decoded(signature);
        good[t][round] = decoded.CertBytes(0) == mine && decoded.VerifyDetachedSigner(0, Len(data), Ptr(data));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t)
    for (int round = 0; round < kRounds; ++round) EXPECT_EQ(good[t][round], 1) << "thread " << t << " round " << round;
  // The tasks left the shared manager's certificate as it was.
  EXPECT_TRUE(managers_.Get()->Sign(data, {}, true, false).find(signers[0].issued.der) != Bytes::npos);
}

}  // namespace
}  // namespace zuntar
