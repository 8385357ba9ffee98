// Serves OPC UA with a certificate and key made by MoxSecurityConfig, then connects a client that trusts only
// that certificate over Basic256Sha256 with SignAndEncrypt, and reads the server's state. node-opcua's own
// warnings go to the output too. Usage: node interop.mjs CERT KEY APPLICATION_URI FOLDER (of the pki folders)
import { AttributeIds, MessageSecurityMode, OPCUACertificateManager, OPCUAClient, OPCUAServer, SecurityPolicy,
    VariableIds } from "node-opcua";
import { X509Certificate } from "node:crypto";
import { readFileSync } from "node:fs";

const [certificateFile, privateKeyFile, applicationUri, folder] = process.argv.slice(2);
const security = { securityPolicy: SecurityPolicy.Basic256Sha256, securityMode: MessageSecurityMode.SignAndEncrypt };
const server = new OPCUAServer({ host: "127.0.0.1", hostname: "127.0.0.1", port: 0, certificateFile, privateKeyFile,
    serverCertificateManager: new OPCUACertificateManager({ rootFolder: `${folder}/server-pki`,
        automaticallyAcceptUnknownCertificate: true }),
    serverInfo: { applicationUri }, securityPolicies: [security.securityPolicy], securityModes: [security.securityMode] });
const clientCertificateManager = new OPCUACertificateManager({ rootFolder: `${folder}/client-pki`,
    automaticallyAcceptUnknownCertificate: false });
try {
    await server.start();
    await clientCertificateManager.initialize();
    await clientCertificateManager.trustCertificate(new X509Certificate(readFileSync(certificateFile)).raw);
    const client = OPCUAClient.create({ ...security, clientCertificateManager, endpointMustExist: false,
        connectionStrategy: { maxRetry: 0 } });
    await client.connect(server.getEndpointUrl());
    const session = await client.createSession();
    const state = await session.read({ nodeId: `ns=0;i=${VariableIds.Server_ServerStatus_State}`,
        attributeId: AttributeIds.Value });
    console.log(`SERVER STATE ${state.value.value}`);
    await client.disconnect();
} catch (err) {
    console.log(`FAILED ${err.message}`);
}
process.exit(0);
