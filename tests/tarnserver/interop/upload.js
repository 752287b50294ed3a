// Uploads a file to a ClipFerry server with the public tus client, as a
// conformance check of the server's tus implementation.
// usage: node upload.js ENDPOINT FILE ACCOUNT PASSWORD FOLDER_ID CONTENT_ID SHA256
'use strict';
const fs = require('fs');
const tus = require('tus-js-client');

const [endpoint, file, account, password, folderID, contentID, sha256] = process.argv.slice(2);
const data = fs.readFileSync(file);
const upload = new tus.Upload(data, {
  endpoint,
  chunkSize: 64 * 1024,
  retryDelays: [0, 100],
  headers: { Authorization: 'Basic ' + Buffer.from(`${account}:${password}`).toString('base64') },
  metadata: { filename: 'tarn_file.zip', folderID, contentID, sha256 },
  onError(error) {
    process.stderr.write(`upload failed: ${error}\n`);
    process.exit(1);
  },
  onSuccess() {
    process.stdout.write(upload.url + '\n');
  },
});
upload.start();
