export { HelperExitError, ProtocolError, RequestError, type ExitInfo } from './errors.js';
export {
  InputClient,
  startInput,
  type Button,
  type ButtonRequest,
  type ClickRequest,
  type DragRequest,
  type InputOptions,
  type KeyRequest,
  type Modifier,
  type MoveRequest,
  type Reply,
  type ScrollRequest,
  type StatusReply,
  type TypeRequest,
} from './input.js';
export { findProgram, platformPackage, type ProgramName } from './locate.js';
export {
  listDisplays,
  ScreencapStream,
  startScreencap,
  type Dims,
  type Display,
  type Frame,
  type ListOptions,
  type ScreencapOptions,
  type StopResult,
} from './screencap.js';
