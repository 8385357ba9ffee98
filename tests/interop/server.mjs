// OPC UA server for the interop test: serves with a certificate and key made by MoxSecurityConfig.
// Usage: node server.mjs PORT CERT KEY APPLICATION_URI PKI_FOLDER
// Prints "READY <endpoint url>" once it listens; runs until it is killed.
import { OPCUACertificateManager, OPCUAServer, MessageSecurityMode, SecurityPolicy } from "node-opcua";

const [port, certificateFile, privateKeyFile, applicationUri, pkiFolder] = process.argv.slice(2);

const serverCertificateManager = new OPCUACertificateManager({
    rootFolder: pkiFolder,
    automaticallyAcceptUnknownCertificate: true,
});

const server = new OPCUAServer({
    host: "127.0.0.1",
    hostname: "127.0.0.1",
    port: Number(port),
    certificateFile,
    privateKeyFile,
    serverCertificateManager,
    serverInfo: { applicationUri, productUri: "MoxSecurityConfigInterop" },
    securityPolicies: [SecurityPolicy.Basic256Sha256],
    securityModes: [MessageSecurityMode.SignAndEncrypt],
    allowAnonymous: true,
});

try {
    await server.start();
    console.log(`READY ${server.getEndpointUrl()}`);
} catch (err) {
    console.log(`FAILED ${err.message}`);
    process.exit(1);
}
