// Serves OPC UA with the given certificate and key, connects a client that trusts only that certificate over
// Basic256Sha256 with SignAndEncrypt, and reads the server's state; node-opcua's warnings go to the output.
import { AttributeIds, MessageSecurityMode as Mode, OPCUACertificateManager as Manager, OPCUAClient, OPCUAServer,
    SecurityPolicy as Policy, VariableIds } from "node-opcua";
import { X509Certificate } from "node:crypto";
import { readFileSync } from "node:fs";

const [certificateFile, privateKeyFile, applicationUri, folder] = process.argv.slice(2);
const security = { securityPolicy: Policy.Basic256Sha256, securityMode: Mode.SignAndEncrypt };
const trusting = (name, all) => new Manager({ rootFolder: `${folder}/${name}`, automaticallyAcceptUnknownCertificate: all });
const server = new OPCUAServer({ host: "127.0.0.1", hostname: "127.0.0.1", port: 0, certificateFile, privateKeyFile,
    serverInfo: { applicationUri }, securityPolicies: [security.securityPolicy], securityModes: [security.securityMode],
    serverCertificateManager: trusting("server-pki", true) });
const clientCertificateManager = trusting("client-pki", false);
await server.start();
await clientCertificateManager.initialize();
await clientCertificateManager.trustCertificate(new X509Certificate(readFileSync(certificateFile)).raw);
const client = OPCUAClient.create({ ...security, clientCertificateManager, endpointMustExist: false,
    connectionStrategy: { maxRetry: 0 } });
await client.connect(server.getEndpointUrl());
const session = await client.createSession();
const state = await session.read({ nodeId: `ns=0;i=${VariableIds.Server_ServerStatus_State}`, attributeId: AttributeIds.Value });
console.log(`SERVER STATE ${state.value.value}`);
process.exit(0); // the server would keep it running
