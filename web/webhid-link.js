// The update device through WebHID: which devices are ours, and a link for FlowRun (runner.js)
// over one opened HIDDevice. Output reports are sent full size (8 bytes, report ID 0): the
// browser does not pad a short one.

export const kDeviceFilter = Object.freeze({ vendorId: 0xffff, productId: 0x0100 });

export function isUpdateDevice(device) {
  return device.vendorId === kDeviceFilter.vendorId && device.productId === kDeviceFilter.productId;
}

export class WebHidLink {
  // `onReport(bytes)` gets every input report while the link is attached.
  constructor(device, onReport) {
    this.device = device;
    this.listener = (event) => {
      onReport(new Uint8Array(event.data.buffer, event.data.byteOffset, event.data.byteLength));
    };
    device.addEventListener('inputreport', this.listener);
  }

  send(bytes) {
    return this.device.sendReport(0, bytes);
  }

  detach() {
    this.device.removeEventListener('inputreport', this.listener);
  }
}
