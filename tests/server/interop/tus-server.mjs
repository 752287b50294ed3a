// The public tus server with its file store, as a peer for ClipFerry's
// upload code. Prints "listening on PORT" when ready. The registration
// request that follows a finished upload is ClipFerry's own, not tus: it is
// answered with a fixed reply so the client completes.
import http from 'node:http';
import { Server } from '@tus/server';
import { FileStore } from '@tus/file-store';

const directory = process.argv[2];
const tus = new Server({ path: '/tarn/putFile/uploads', datastore: new FileStore({ directory }) });

const server = http.createServer((req, res) => {
  if (req.url.startsWith('/tarn/putFile/uploads')) {
    tus.handle(req, res);
    return;
  }
  req.resume();
  req.on('end', () => {
    res.writeHead(200, { 'Content-Type': 'text/xml; charset=utf-8' });
    res.end('<?xml version="1.0" encoding="UTF-8"?>\n<tarn ver="2.0"><errInfo></errInfo><contentID>1</contentID></tarn>\n');
  });
});
server.listen(0, '127.0.0.1', () => console.log(`listening on ${server.address().port}`));
