// Builds one form per host command and shows each reply.
"use strict";

const DEMO_RSA_DN = "CN=Demo RSA User,O=Demo Bank,C=CN";

// Command name, its request members with sample values, and how to treat its
// result. "multiline" members get a text area.
const COMMANDS = [
  { name: "GMUsbKeySign", members: { DeSignerDN: DEMO_RSA_DN, HashName: "SHA256",
      XmlMsg: "<T><Amount>100.00</Amount><Payee>Demo Shop</Payee></T>", KeyMsg: "Amount 100.00", FilePath: "" },
    multiline: ["XmlMsg"], download: { name: "signed-data.p7s", what: "SignedData (DER)" } },
  { name: "GMUsbKeySignFile", members: { SignerDN: DEMO_RSA_DN, HashName: "SHA256", XmlMsg: "<T>file</T>",
      KeyMsg: "File", FilePath: "/tmp/to-sign.txt", FileP7Path: "/tmp/to-sign.p7" }, multiline: ["XmlMsg"] },
  { name: "CustInitCard", members: {} },
  { name: "ChangePin", members: {} },
  { name: "GMDelTempKey", members: { CertDn: "", PublicKeyId: "" } },
  { name: "GMCreatePKCS10", members: { CertInfo: "" }, multiline: ["CertInfo"] },
  { name: "GMWritePKCS7", members: { P7Pakge: "" }, multiline: ["P7Pakge"] },
  { name: "GetMediaID", members: {} },
  { name: "GetDriverVersion", members: {} },
  { name: "GetPublicKeyNum", members: {} },
  { name: "GetVersion", members: {} },
  { name: "GMGetAdminKeyInfo", members: {} },
  { name: "GMGetCertDN", members: {} },
  { name: "GMGetPublicKey", members: { KeyType: "" } },
  { name: "GMGetPublicKeyC", members: { KeyType: "", DnOrID: "", Base64SerRand: "" } },
  { name: "GetPublicKeyC", members: {} },
  { name: "GetCharsetList", members: {} },
  { name: "GetLanguageList", members: {} },
  { name: "SetCharset", members: { CharSet: "UTF-8" } },
  { name: "SetLanguage", members: { Lang: "en-US" } },
  { name: "SetWarningMsg", members: { WarnMsg: "Check the amount before you confirm." } },
  { name: "setIPType", members: { iptype: "1" } },
  { name: "getClientInfo", members: {} },
  { name: "NSChooseFile", members: {} },
];

const DISPLAY_LIMIT = 4000;
const client = new TokenHostClient();

function element(tag, props = {}, children = []) {
  const node = Object.assign(document.createElement(tag), props);
  for (const child of children) node.append(child);
  return node;
}

function describeReply(result) {
  const { reply, text, pieces } = result;
  const shown = Object.assign({}, reply, { text });
  if (typeof text === "string" && text.length > DISPLAY_LIMIT) {
    shown.text = `${text.slice(0, DISPLAY_LIMIT)}... (${text.length} characters in all)`;
  }
  let note = "";
  if (pieces.length > 1) note = `Result came in ${pieces.length} pieces (${pieces.join(" + ")} characters).`;
  if (typeof text === "number" && text !== 0) note = TokenHostClient.describeError(text);
  return { json: JSON.stringify(shown, null, 2), note };
}

function offerDownload(container, command, text) {
  let bytes;
  try {
    bytes = TokenHostClient.base64ToBytes(text);
  } catch (error) {
    return;  // not Base64: nothing to offer
  }
  const url = URL.createObjectURL(new Blob([bytes], { type: "application/pkcs7-signature" }));
  container.append(element("a", { href: url, download: command.download.name,
    textContent: `Download the ${command.download.what}, ${bytes.length} bytes` }));
}

function readMembers(form, command) {
  const members = {};
  for (const name of Object.keys(command.members)) members[name] = form.elements[name].value;
  return members;
}

async function submit(form, command, output) {
  output.replaceChildren(element("p", { className: "reply-note", textContent: "Waiting for the host..." }));
  try {
    let received = 0;
    const result = await client.call(command.name, readMembers(form, command), {
      onPiece: (reply) => {
        received++;
        if (reply.lastData === false) output.firstChild.textContent = `Received piece ${received}, asking for more...`;
      },
    });
    const { json, note } = describeReply(result);
    output.replaceChildren(element("pre", { className: "reply", textContent: json }));
    if (note) output.append(element("p", { className: "reply-note", textContent: note }));
    if (command.download && typeof result.text === "string" && result.text.length > 0) {
      offerDownload(output, command, result.text);
    }
  } catch (error) {
    output.replaceChildren(element("p", { className: "reply-note", textContent: String(error.message || error) }));
  }
}

function buildForm(command) {
  const form = element("form");
  for (const [name, sample] of Object.entries(command.members)) {
    const multiline = (command.multiline || []).includes(name);
    const field = element(multiline ? "textarea" : "input", { name, value: sample });
    if (!multiline) field.type = "text";
    form.append(element("label", {}, [element("span", { textContent: name }), field]));
  }
  form.append(element("button", { type: "submit", textContent: `Send ${command.name}` }));
  const output = element("div", { className: "output" });
  form.addEventListener("submit", (event) => {
    event.preventDefault();
    submit(form, command, output);
  });
  return element("section", { className: "command", id: `command-${command.name}` },
    [element("h2", { textContent: command.name }), form, output]);
}

document.getElementById("commands").append(...COMMANDS.map(buildForm));

client.waitForExtension().then((found) => {
  const status = document.getElementById("extension-status");
  status.textContent = found
    ? "The demo extension is active on this page."
    : "The demo extension did not answer: install it and open this page on http://127.0.0.1 or http://localhost.";
  status.className = `status ${found ? "ok" : "missing"}`;
});
