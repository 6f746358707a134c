// Bouncy Castle as the second, independent GOST implementation of the
// interoperability tests: it makes enveloped messages for our certificates
// (key transport and key agreement), decrypts ours, and checks our CMS
// signatures. Exit status 0 when the command did what it says.
//
//   envelope kt|agree CERT IN OUT   enveloped data of IN for the certificate
//   decrypt KEY.pem IN OUT          the content of enveloped data IN
//   verify SIG [DATA]               every signer of SIG (DATA: its detached
//                                   content) checked with its certificate
//                                   in SIG
import java.io.FileInputStream;
import java.io.FileReader;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.PrivateKey;
import java.security.PublicKey;
import java.security.SecureRandom;
import java.security.Security;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.Collection;

import org.bouncycastle.asn1.ASN1ObjectIdentifier;
import org.bouncycastle.asn1.pkcs.PrivateKeyInfo;
import org.bouncycastle.cert.X509CertificateHolder;
import org.bouncycastle.cert.jcajce.JcaX509CertificateConverter;
import org.bouncycastle.cms.CMSAlgorithm;
import org.bouncycastle.cms.CMSEnvelopedData;
import org.bouncycastle.cms.CMSEnvelopedDataGenerator;
import org.bouncycastle.cms.CMSProcessableByteArray;
import org.bouncycastle.cms.CMSSignedData;
import org.bouncycastle.cms.RecipientInformation;
import org.bouncycastle.cms.SignerInformation;
import org.bouncycastle.cms.jcajce.JcaSimpleSignerInfoVerifierBuilder;
import org.bouncycastle.cms.jcajce.JceCMSContentEncryptorBuilder;
import org.bouncycastle.cms.jcajce.JceKeyAgreeEnvelopedRecipient;
import org.bouncycastle.cms.jcajce.JceKeyAgreeRecipientInfoGenerator;
import org.bouncycastle.cms.jcajce.JceKeyTransEnvelopedRecipient;
import org.bouncycastle.cms.jcajce.JceKeyTransRecipientInfoGenerator;
import org.bouncycastle.cms.KeyAgreeRecipientInformation;
import org.bouncycastle.jce.interfaces.ECKey;
import org.bouncycastle.jce.provider.BouncyCastleProvider;
import org.bouncycastle.jce.spec.ECNamedCurveGenParameterSpec;
import org.bouncycastle.jce.spec.ECNamedCurveParameterSpec;
import org.bouncycastle.openssl.PEMParser;
import org.bouncycastle.openssl.jcajce.JcaPEMKeyConverter;

public class ZuntarBouncyCastle {
  public static void main(String[] args) throws Exception {
    Security.addProvider(new BouncyCastleProvider());
    switch (args.length > 0 ? args[0] : "") {
      case "envelope":
        envelope(args[1], readCertificate(args[2]), Files.readAllBytes(Paths.get(args[3])), args[4]);
        break;
      case "decrypt":
        decrypt(readKey(args[1]), Files.readAllBytes(Paths.get(args[2])), args[3]);
        break;
      case "verify":
        System.exit(verify(Files.readAllBytes(Paths.get(args[1])),
                           args.length > 2 ? Files.readAllBytes(Paths.get(args[2])) : null) ? 0 : 1);
        break;
      default:
        System.err.println("usage: envelope kt|agree CERT IN OUT | decrypt KEY.pem IN OUT | verify SIG [DATA]");
        System.exit(2);
    }
  }

  static X509Certificate readCertificate(String path) throws Exception {
    try (FileInputStream in = new FileInputStream(path)) {
      return (X509Certificate) CertificateFactory.getInstance("X.509", "BC").generateCertificate(in);
    }
  }

  static PrivateKey readKey(String path) throws Exception {
    try (PEMParser pem = new PEMParser(new FileReader(path))) {
      return new JcaPEMKeyConverter().setProvider("BC").getPrivateKey((PrivateKeyInfo) pem.readObject());
    }
  }

  // Key agreement as RFC 4490 has it: an ephemeral sender key on the
  // recipient's curve, an 8-byte UKM, the CryptoPro key wrap.
  static void envelope(String form, X509Certificate cert, byte[] data, String out) throws Exception {
    CMSEnvelopedDataGenerator gen = new CMSEnvelopedDataGenerator();
    PublicKey pub = cert.getPublicKey();
    if (form.equals("kt")) {
      gen.addRecipientInfoGenerator(new JceKeyTransRecipientInfoGenerator(cert).setProvider("BC"));
    } else {
      KeyPairGenerator kpg = KeyPairGenerator.getInstance(pub.getAlgorithm(), "BC");
      String curve = ((ECNamedCurveParameterSpec) ((ECKey) pub).getParameters()).getName();
      kpg.initialize(new ECNamedCurveGenParameterSpec(curve), new SecureRandom());
      KeyPair sender = kpg.generateKeyPair();
      ASN1ObjectIdentifier agreement = !pub.getAlgorithm().contains("2012") ? CMSAlgorithm.ECDHGOST3410_2001
          : pub.getEncoded().length > 120 ? CMSAlgorithm.ECDHGOST3410_2012_512 : CMSAlgorithm.ECDHGOST3410_2012_256;
      byte[] ukm = new byte[8];
      new SecureRandom().nextBytes(ukm);
      JceKeyAgreeRecipientInfoGenerator g = new JceKeyAgreeRecipientInfoGenerator(
          agreement, sender.getPrivate(), sender.getPublic(), CMSAlgorithm.GOST28147_CRYPTOPRO_WRAP);
      g.setUserKeyingMaterial(ukm).setProvider("BC");
      g.addRecipient(cert);
      gen.addRecipientInfoGenerator(g);
    }
    CMSEnvelopedData ed = gen.generate(new CMSProcessableByteArray(data),
        new JceCMSContentEncryptorBuilder(CMSAlgorithm.GOST28147_GCFB).setProvider("BC").build());
    Files.write(Paths.get(out), ed.getEncoded());
  }

  static void decrypt(PrivateKey key, byte[] message, String out) throws Exception {
    CMSEnvelopedData ed = new CMSEnvelopedData(message);
    for (RecipientInformation r : ed.getRecipientInfos().getRecipients()) {
      byte[] content = r instanceof KeyAgreeRecipientInformation
          ? r.getContent(new JceKeyAgreeEnvelopedRecipient(key).setProvider("BC"))
          : r.getContent(new JceKeyTransEnvelopedRecipient(key).setProvider("BC"));
      Files.write(Paths.get(out), content);
      return;
    }
    throw new IllegalStateException("no recipient");
  }

  @SuppressWarnings("unchecked")
  static boolean verify(byte[] signature, byte[] detached) throws Exception {
    CMSSignedData signed = detached != null ? new CMSSignedData(new CMSProcessableByteArray(detached), signature)
                                            : new CMSSignedData(signature);
    boolean all = !signed.getSignerInfos().getSigners().isEmpty();
    for (SignerInformation signer : signed.getSignerInfos().getSigners()) {
      Collection<X509CertificateHolder> certs = signed.getCertificates().getMatches(signer.getSID());
      if (certs.isEmpty()) {
        System.out.println("no certificate for a signer");
        all = false;
        continue;
      }
      // The certificate's key checks the signature; whether the certificate
      // was valid when it was made (an exported test key of 2010) is not
      // the question here.
      X509CertificateHolder cert = certs.iterator().next();
      PublicKey key = new JcaX509CertificateConverter().setProvider("BC").getCertificate(cert).getPublicKey();
      boolean good = signer.verify(new JcaSimpleSignerInfoVerifierBuilder().setProvider("BC").build(key));
      System.out.println((good ? "good " : "BAD ") + signer.getDigestAlgOID() + " " + cert.getSubject());
      all = all && good;
    }
    return all;
  }
}
