// Serves OPC UA with a certificate and key as installed, and has a client read the server's CurrentTime over
// Basic256Sha256 with SignAndEncrypt. Prints READ <ISO time> or REFUSED <reason>.
// Usage: node lifecycle.mjs CERT KEY PASSPHRASE URI FOLDER [CERT-TO-TRUST...]
// FOLDER keeps server-pki and client-pki (node-opcua's layout) from one run to the next; the caller may put
// CAs and CRLs into client-pki/trusted/{certs,crl} beforehand.
import { AttributeIds, DiskCertificateKeyPairProvider, MessageSecurityMode as Mode,
    OPCUACertificateManager as Manager, OPCUAClient, OPCUAServer, ResolvedCertificateKeyPairProvider,
    SecurityPolicy as Policy, VariableIds } from "node-opcua";
import { X509Certificate } from "node:crypto";
import { readFileSync } from "node:fs";

const [certificateFile, privateKeyFile, passphrase, applicationUri, folder, ...toTrust] = process.argv.slice(2);
const security = { securityPolicy: Policy.Basic256Sha256, securityMode: Mode.SignAndEncrypt };
// The key is read once: the server's endpoints would reopen a key file without its pass phrase.
const privateKey = new DiskCertificateKeyPairProvider(certificateFile, privateKeyFile, passphrase || undefined)
    .getPrivateKey();
// The server's judgement of the client is not under test: it takes any client certificate.
const server = new OPCUAServer({ host: "127.0.0.1", hostname: "127.0.0.1", port: 0,
    certificateKeyPairProvider: new ResolvedCertificateKeyPairProvider(certificateFile, privateKeyFile, privateKey),
    serverInfo: { applicationUri }, securityPolicies: [security.securityPolicy], securityModes: [security.securityMode],
    serverCertificateManager: new Manager({ rootFolder: `${folder}/server-pki`,
        automaticallyAcceptUnknownCertificate: true }) });
// The client takes only what it was told to trust: unknown certificates are refused, never accepted on sight.
// Its check of a server certificate already accepts one that is not in trusted/ itself when the CA that signed
// it is (acceptCertificateWithValidIssuerChain), provided that CA's CRL is at hand and does not list it;
// without the CRL it answers BadCertificateRevocationUnknown. Nothing beyond these defaults is configured.
const clientCertificateManager = new Manager({ rootFolder: `${folder}/client-pki`,
    automaticallyAcceptUnknownCertificate: false });
await server.start();
await clientCertificateManager.initialize();
for (const file of toTrust)
    await clientCertificateManager.trustCertificate(new X509Certificate(readFileSync(file)).raw);
const client = OPCUAClient.create({ ...security, clientCertificateManager, endpointMustExist: false,
    connectionStrategy: { maxRetry: 0 } });
try {
    await client.connect(server.getEndpointUrl());
    const session = await client.createSession();
    const time = await session.read({ nodeId: `ns=0;i=${VariableIds.Server_ServerStatus_CurrentTime}`,
        attributeId: AttributeIds.Value });
    console.log(`READ ${time.value.value.toISOString()}`);
} catch (error) {
    console.log(`REFUSED ${error.message}`);
}
process.exit(0); // the server would keep it running
